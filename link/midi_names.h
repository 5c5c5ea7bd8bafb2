#pragma once
// MIDI device names as the user sees them and the settings store them.
//
// A driver may give two devices of one direction the same name (two identical
// interfaces). Each name here fits one device: the first device of a name keeps
// it exactly, as settings saved before hold it; the second and later ones get
// " #2", " #3" ... in device order, so a name saved on one start finds the same
// device on the next while the devices stay as they are. Every name fits the
// driver's name size (kMidiNameSize, terminator included).

#include <string>
#include <vector>

#include "link/midi_driver.h"

// The names of every device of one direction, by id; "" where the driver gives
// no capabilities for an id (and, when `known` is given, false there).
std::vector<std::string> midi_device_names(const MidiDriver& driver, bool output,
                                           std::vector<bool>* known = nullptr);
// One device's name; false (and "") for an id the driver does not know.
bool midi_device_name(const MidiDriver& driver, bool output, int id, std::string* name);
// The name of the current driver's device `id` (see midi_driver()); "" for an
// id it does not know.
std::string midi_name_of(bool output, int id);
// The device of that exact name, or -1.
int midi_device_of_name(const MidiDriver& driver, bool output, const char* name);
