#pragma once
// The link of one run: the settings' link, with what the command line named for
// this run in its place. The choice is a value handed to the transfer's start;
// the settings record is never written with it, so it is never saved.

#include <string>
#include <vector>

#include "link/link_target.h"
#include "ui/run_options.h"

// What the command line named, checked before anything starts.
struct LinkChoice {
  bool serial = false;          // --port was given
  std::string serial_device;    // its device: a path, or "COM1".."COM4"
  int midi_out = -1;            // --midi-out's device id, -1 when not given
  int midi_in = -1;             // --midi-in's
  int rate = -1;                // --rate 0..3, -1 when not given
  bool skip_version_check = false;
  // Whether a serial port or MIDI device was named (a one-run option alone names no link).
  bool names_link() const { return serial || midi_out >= 0 || midi_in >= 0; }
};

// Checks what `options` name for this run (a serial device path that fits, MIDI
// devices by number or name). 0 with the choice in *choice; else the exit
// status (2 a usage error, 4 a device that is not there) with the reason in
// *why ("--midi-out: no MIDI output is named X").
int link_choice_read(const RunOptions& options, LinkChoice* choice, std::string* why);

// The link for one run, once the settings are loaded: the settings' link with the
// choice on top. A device given as COM1..COM4 is that port's device; a path that
// is one of the ports' devices keeps that port's number (com_port 0 otherwise).
LinkTarget link_choice_target(const LinkChoice& choice);

struct MidiPresent {
  int id;
  std::string name;
};
// Every MIDI output (or input) by id and name.
std::vector<MidiPresent> midi_devices_present(bool output);
// COM1..COM4 in any case: the port's number; 0 for anything else.
int com_port_number(const char* text);
// The COM port (1..4) whose device is `device`; 0 for none.
int com_port_of_device(const char* device);
// A link in words: "COM1 (/dev/ttyUSB0) at 38400 baud", "/dev/pts/3 at 38400
// baud", or "MIDI out "X", in "Y", transfer rate Fast".
std::string link_in_use_text(const LinkTarget& link);

// The MIDI device of one direction named by `name`: its number as --list shows
// it, or its name (whole, else a part of one name only). The device's id, or
// -1 with the reason in why ("no MIDI output is named X", "X names two MIDI
// outputs: ...") and *ambiguous set when it names more than one.
int midi_device_by_name(bool output, const char* name, char* why, int size, bool* ambiguous);
