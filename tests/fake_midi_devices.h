#pragma once
// A small fake MIDI driver for tests of device enumeration: a list of output and
// input devices, installed for the object's life.

#include <string>
#include <vector>

#include "link/midi_driver.h"

struct FakeMidiOut {
  std::string name;
  unsigned technology = kModMidiPort;
  bool caps_fail = false;  // reading its capability record fails
};

struct FakeMidiIn {
  std::string name;
  bool caps_fail = false;
};

class FakeMidiDevices {
 public:
  FakeMidiDevices(std::vector<FakeMidiOut> outputs, std::vector<FakeMidiIn> inputs);
  ~FakeMidiDevices();
  FakeMidiDevices(const FakeMidiDevices&) = delete;
  FakeMidiDevices& operator=(const FakeMidiDevices&) = delete;

  // How many capability records were asked for so far.
  int out_caps_calls() const;
  int in_caps_calls() const;
};
