#pragma once
// The MIDI driver seam: the few platform calls the MIDI link and the settings
// need. winmm on Windows (midi_driver_winmm.cpp), ALSA rawmidi on Linux
// (midi_driver_alsa.cpp), and a fake for tests that a test installs.

constexpr int kMidiNameSize = 32;  // szPname, terminator included
constexpr unsigned kModMidiPort = 1;  // wTechnology of a hardware output port

struct MidiOutCaps {
  char szPname[kMidiNameSize];
  unsigned wTechnology;
  unsigned vDriverVersion;
};

struct MidiInCaps {
  char szPname[kMidiNameSize];
  unsigned vDriverVersion;
};

struct MidiDriver {
  unsigned (*out_num_devs)();
  unsigned (*in_num_devs)();
  // 0 on success, else an error code; the record is left as it was on failure.
  unsigned (*out_get_caps)(unsigned id, MidiOutCaps* caps);
  unsigned (*in_get_caps)(unsigned id, MidiInCaps* caps);
};

// The platform's driver.
const MidiDriver& platform_midi_driver();
// The driver in use: the platform's unless a test installed another.
const MidiDriver& midi_driver();
// Installs `driver` (null: back to the platform's). Not while a link is open.
void midi_driver_install(const MidiDriver* driver);
