#pragma once
// Start-up and shutdown of the Linux program, shared by the terminal front end
// and the command line's commands: the same order as the Windows program.

#include "link/link_target.h"
#include "support/host.h"
#include "ui/command_line.h"

extern CmdLine cl;

// Chooses the settings file's path: `ini_override` when given, else a writable
// "xrupdate.ini" beside the executable, else the one in the user's config
// folder. 0 when the path does not fit or no home folder is known.
int derive_inifile(const char* ini_override);

// What start-up does with the serial ports COM1 to COM4.
enum PortProbe : int {
  // Probes them; a configured port that does not open is told (when the
  // "Warning" setting allows) and the lowest port found is used, or MIDI when
  // none opens (the Windows program's rule).
  kProbeFallBack = 0,
  // Probes them; a configured port that does not open is told and kept: the
  // caller does not start (startup_port_problem says why).
  kProbeKeep = 1,
  // Opens none: the run's link was named on the command line and is checked
  // alone (startup_check_link).
  kProbeNone = 2,
};

// After the command line and the single-copy check: opens the support log
// (warning through message_box when it cannot), loads the settings, allocates
// the transfer buffers and probes the serial ports as `probe` says. 0 when the
// program cannot go on.
int program_startup(PortProbe probe);

// Checks the serial device of a link named for this run without using any
// other: 1 when it opens (or the link is MIDI, whose open tells for itself); 0
// after a message naming the device and why ("does not exist", "is in use by
// another program"), with startup_port_problem saying the same.
int startup_check_link(const LinkTarget& link);

// The serial port problem found by start-up ("The serial port COM1
// (/dev/ttyS0) does not exist"); "" when there is none.
const char* startup_port_problem();

// Saves the settings for `window` (making the user's config folder first when
// the file lives there) and releases what start-up allocated. A file that cannot
// be read or saved is told in a message box.
void program_shutdown(WindowHandle window);
