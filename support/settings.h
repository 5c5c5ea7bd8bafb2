#pragma once
// The settings record and its private-profile settings file: loaded once at
// start-up (get_initial), saved once when the main window goes (set_initial).

#include <string>
#include <vector>

#include "support/host.h"
#include "support/profile.h"

constexpr int kIniPathSize = 256;

// The settings record.
extern int devtype;          // 0 serial link, 1 MIDI link
extern int port;             // COM port 1 to 4
extern int rate_num;         // index into rate_table
extern int mididevnum_out;   // MIDI output device id, -1 for none
extern int mididevnum_in;    // MIDI input device id, -1 for none
extern int xferrate;         // MIDI transfer rate 0 to 3
extern int skipver;          // 1: skip the version check
extern int warning;          // 1: show the start-up messages
extern int xpos, ypos;       // window's outer top-left corner
extern int xsize, ysize;     // window's outer size (not stored)

extern char inifile[kIniPathSize];     // the settings file's path
extern unsigned char comm_status[4];   // COM1..COM4 could be opened at start-up

extern const int rate_table[3];
extern const char* const xfer_rate_names[4];

// Linux only: the device paths behind COM1 to COM4 ("Com1Device".."Com4Device").
constexpr int kComDevicePathSize = 256;
extern char com_device_path[4][kComDevicePathSize];

// Loads every setting; always returns 1.
int get_initial();
// Saves every setting; `window` gives the saved position. Returns how many
// keys could not be written (0: all saved); their names go to *unwritten when
// given, and *write_error tells why the file could not be written (see
// profile_write_strings).
int set_initial(WindowHandle window, std::vector<std::string>* unwritten = nullptr, int* write_error = nullptr);

// The platform's own keys (Linux: the COM port device paths), read after and
// saved after the common keys of `section`. One OS file each.
void get_initial_platform(const char* section);
void set_initial_platform(std::vector<ProfileEntry>* save);  // adds its keys to the save
// The device behind COM<port_number> (1..4) as the serial link opens it: "COM3"
// on Windows, the port's device path on Linux. "" for any other number.
const char* com_port_device(int port_number);

// Start-up message ids of the string table.
enum StartupMessageId : int {
  IDS_MIDI_OUT_NOT_FOUND = 1001,
  IDS_MIDI_IN_NOT_FOUND = 1002,
  IDS_CHDIR_FAILED = 1003,
};
