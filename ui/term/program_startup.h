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

// After the command line and the single-copy check: opens the support log
// (warning through message_box when it cannot), loads the settings, allocates
// the transfer buffers and probes the serial ports (MIDI when none opens; the
// configured port moved to the lowest one found). 0 when the program cannot go on.
int program_startup();

// Saves the settings for `window` (making the user's config folder first when
// the file lives there) and releases what start-up allocated. A file that cannot
// be read or saved is told in a message box.
void program_shutdown(WindowHandle window);
