#pragma once
// --find's scan of serial devices: every device is opened and asked for its
// versions at once, and every answer is read at once, so the scan takes about
// one reply time-out however many devices there are.

#include <string>
#include <vector>

#include "link/link_target.h"

struct ScanResult {
  LinkTarget link;      // the device and its COM port, if it is one of the settings'
  bool tried = false;   // it opened and the request went out
  bool answered = false;
  int versions[3] = {0, 0, 0};
  std::string why;      // why it was not tried, or gave no valid answer
};

// Asks every device of `links` (serial links) for its versions, waiting at most
// `timeout_ms` after the requests went out; with `first`, until the first
// valid answer. A stop (`stopped` returns true; `wake_fd` is readable when it
// may have come) ends the wait at once. Every port is closed again before it
// returns.
std::vector<ScanResult> serial_scan(const std::vector<LinkTarget>& links, int timeout_ms, bool first,
                                    bool (*stopped)(), int wake_fd);
