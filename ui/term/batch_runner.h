#pragma once
// `xrupdate --batch [--ini PATH] FILE`: one update without a window.

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

// argv holds the arguments after "--batch". Returns the exit status.
int run_batch(int argc, const char* const* argv);
