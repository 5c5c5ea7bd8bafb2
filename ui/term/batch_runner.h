#pragma once
// The commands that reach the instrument without a window: --batch FILE (one
// update), --dry-run FILE, --query and --find.

// Exit statuses of the headless runner.
enum BatchExit : int {
  kExitComplete = 0,       // "Update Complete!"
  kExitStartup = 1,        // the program could not start (buffers, settings path)
  kExitUsage = 2,          // bad command line, or FILE names no existing file
  kExitFileRefused = 3,    // the file could not be opened or failed the header check
  kExitLinkNotOpened = 4,  // the serial port or the MIDI devices could not be opened
  kExitDeviceError = 5,    // a send, receive or reply failed, or the instrument timed out
  kExitVersionRefused = 6, // the instrument already has the same version or better
  kExitAborted = 7,        // stopped with Ctrl-C (SIGINT) or SIGTERM
};

#include "ui/term/run_options.h"

// Runs options.command (kRunBatch, kRunDryRun, kRunQuery or kRunFind) on the
// link chosen in `options`, else the configured one. Returns the exit status.
int run_link_command(const RunOptions& options);
