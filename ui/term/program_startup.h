#pragma once
// Start-up and shutdown of the Linux program, shared by the terminal front end
// and the headless runner: the same order as the Windows program.

#include "support/host.h"
#include "ui/command_line.h"

extern CmdLine cl;

// Chooses the settings file's path: `ini_override` when given, else a writable
// "xrupdate.ini" beside the executable, else the one in the user's config
// folder. 0 when the path does not fit or no home folder is known.
int derive_inifile(const char* ini_override);

// What start-up does when the serial link is configured and its port does not open.
enum PortFallback : int {
  kPortFallBack = 0,  // move to the lowest port found, or to MIDI when none opens
  kPortKeep = 1,      // keep the configured port; the caller does not start
};

// After the command line and the single-copy check (the link chosen on the
// command line replaces the settings' one, and then no other port is used): opens the support log
// (warning through message_box when it cannot), loads the settings, allocates
// the transfer buffers and probes the serial ports. A configured serial port
// that does not open is told in a message naming its device and why, before
// any fallback (for kPortFallBack only when the "Warning" setting allows).
// Without it: MIDI when no port opens, else the configured port moves to the
// lowest one found. 0 when the program cannot go on.
int program_startup(PortFallback fallback = kPortFallBack);

// The configured serial port's problem found by start-up ("The serial port COM1
// (/dev/ttyS0) does not exist"); "" when the serial link is not configured or
// its port opened.
const char* startup_port_problem();

// Saves the settings for `window` (making the user's config folder first when
// the file lives there) and releases what start-up allocated. A file that cannot
// be read or saved is told in a message box.
void program_shutdown(WindowHandle window);
