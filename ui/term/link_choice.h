#pragma once
// The link chosen on the command line for one run: it replaces the loaded
// settings' link when start-up has read them, and the loaded values are put
// back before the settings are saved, so the choice is never stored.

#include <cstdio>
#include <string>

#include "ui/term/run_options.h"

// Checks the choice before anything starts and keeps it for start-up: a
// serial device (COM1..COM4 or a path), the MIDI devices by name or number, the
// transfer rate, the version check. 0 when it can be used; else the exit status
// (2 a usage error, 4 a device that is not there) after one line on `err`.
int link_choice_set(const RunOptions& options, FILE* err);
// Forgets the choice (the settings' link is used).
void link_choice_clear();
// Whether a serial port or MIDI device was named.
bool link_choice_explicit();

// Called by start-up after the settings are read: the settings record takes
// the choice, and the loaded values are kept aside.
void link_choice_apply();
// Called before the settings are saved: the loaded values are put back.
void link_choice_restore();

// The name of MIDI output (or input) `id`; false when there is no such device.
bool midi_device_name(bool output, int id, std::string* name);
// COM1..COM4 in any case: the port's number; 0 for anything else.
int com_port_number(const char* text);
// The link the settings record names, in words: "COM1 (/dev/ttyUSB0) at 38400
// baud", or "MIDI out "X", in "Y", transfer rate Fast".
std::string link_in_use_text();

// The MIDI device of one direction named by `name`: its number as --list shows
// it, or its name (whole, else a part of one name only). The device's id, or
// -1 with the reason in why ("no MIDI output is named X", "X names two MIDI
// outputs: ...") and *ambiguous set when it names more than one.
int midi_device_by_name(bool output, const char* name, char* why, int size, bool* ambiguous);
