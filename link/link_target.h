#pragma once
// Which link one transfer goes out on, and how. A front end builds it for each
// run (from the settings record, or from what the user named for this run) and
// hands it to the transfer's start, which hands it down to the link's open;
// nothing is planted in the settings record for one run.

constexpr int kLinkDeviceSize = 256;

enum LinkKind : int {
  kLinkSerial = 0,  // the settings' devtype 0
  kLinkMidi = 1,    // devtype 1
};

struct LinkTarget {
  int devtype = kLinkSerial;
  // Serial link: the device to open ("COM1" on Windows, a path on Linux), and
  // the settings' COM port (1..4) whose device it is, 0 when it is none of them.
  char device[kLinkDeviceSize] = "";
  int com_port = 0;
  int baud = 38400;
  // MIDI link: the output and input device ids (-1 for none) and the transfer rate 0..3.
  int midi_out = -1;
  int midi_in = -1;
  int xferrate = 0;
  // 1: the version check before an update is skipped.
  int skipver = 0;
};

// Puts `device` into target->device; 0 (target unchanged) when it does not fit
// whole: a shortened path could name another device.
int link_target_set_device(LinkTarget* target, const char* device);
