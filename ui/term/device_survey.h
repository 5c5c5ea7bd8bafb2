#pragma once
// The serial and MIDI devices present, for --list and --find.

#include <cstdio>
#include <string>
#include <vector>

#include "ui/term/run_options.h"

struct SerialPresent {
  std::string path;    // as found: /dev/ttyUSB0, /dev/serial/by-id/usb-...
  std::string target;  // for a link in /dev/serial/by-id: the device it points to; else ""
};

// /dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS* (in that order, each kind by number),
// then the links of /dev/serial/by-id by name. `dev` is the device folder.
std::vector<SerialPresent> serial_devices_present(const char* dev);

struct MidiPresent {
  int id;
  std::string name;
};
std::vector<MidiPresent> midi_devices_present(bool output);

// `xrupdate --list`: every serial device with whether it opens (and why not),
// then every MIDI output and input by number and name. Exit status 0.
int run_list(const RunOptions& options);
