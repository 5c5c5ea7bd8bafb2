#pragma once
// Serves the simulated instrument on a terminal line: a new pseudo-terminal
// (the program opens its slave side as a COM port) or a given tty device.
//
// The server keeps the pseudo-terminal's slave side open itself, so the line
// survives the program opening and closing the port for every transfer; bytes
// the program leaves unread stay in the line's queue as on a real port.

#include <atomic>
#include <string>

#include "sim/instrument.h"

struct PtyServer {
  int line = -1;        // pty master, or the served tty
  int keep = -1;        // the pty's slave side, held open by the server
  int wake[2] = {-1, -1};
  std::string path;     // the path the program opens
  bool midi = false;    // the line is a raw MIDI device
  // A slow instrument (both set): an input buffer of slow_size bytes, taken at
  // slow_rate bytes a second; the bytes lost to a full buffer are counted.
  int slow_size = 0;
  int slow_rate = 0;
  std::atomic<long> overruns{0};
};

enum PtyServeEnd : int {
  kServeStopped = 0,    // pty_server_stop was called
  kServeCompleted = 1,  // an update completed and the caller asked to end then
  kServeClosed = 2,     // the instrument closed the line
  kServeFailed = -1,
};

// Opens a new pseudo-terminal (tty_path null) or the tty at tty_path set to raw
// 8N1 at `baud`. 1 on success; 0 with `error` filled.
int pty_server_open(PtyServer& server, const char* tty_path, int baud, std::string* error);
// Serves an ALSA raw MIDI device ("hw:C,D" or "hw:C,D,S") instead. 1, or 0 with
// `error` filled.
int pty_server_open_midi(PtyServer& server, const char* device, std::string* error);
// Feeds the line's bytes to `sim` and carries out its actions until stopped,
// the line is closed, or (when end_on_complete) an update completes.
// `trace`, when not null, is called with each byte in ('<') and out ('>').
PtyServeEnd pty_server_run(PtyServer& server, SimInstrument& sim, bool end_on_complete,
                           void (*trace)(char direction, const unsigned char* bytes, int n) = nullptr);
// Makes pty_server_run return. Safe from a signal handler and from another thread.
void pty_server_stop(PtyServer& server);
// Closes the line (a pseudo-terminal's slave side then hangs up).
void pty_server_close(PtyServer& server);
