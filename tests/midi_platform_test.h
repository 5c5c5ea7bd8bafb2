#pragma once
// Checks shared by the tests of the platform MIDI drivers (ALSA and winmm):
// what every platform driver must do on a machine without MIDI hardware.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/midi_driver.h"
#include "link/midi_link.h"
#include "support/support_log.h"
#include "tests/test_support.h"

inline void expect_enumeration_without_failing(const MidiDriver& d) {
  const unsigned outs = d.out_num_devs(), ins = d.in_num_devs();
  for (unsigned id = 0; id < outs; ++id) {
    MidiOutCaps caps;
    std::memset(&caps, 0, sizeof caps);
    EXPECT_EQ(0u, d.out_get_caps(id, &caps));
    EXPECT_EQ(kModMidiPort, caps.wTechnology);
  }
  for (unsigned id = 0; id < ins; ++id) {
    MidiInCaps caps;
    std::memset(&caps, 0, sizeof caps);
    EXPECT_EQ(0u, d.in_get_caps(id, &caps));
  }
  MidiOutCaps out_caps;
  std::memset(&out_caps, 0x5A, sizeof out_caps);
  EXPECT_NE(0u, d.out_get_caps(outs + 5, &out_caps));
  EXPECT_EQ(0x5A, static_cast<unsigned char>(out_caps.szPname[0]));  // left as it was
  MidiInCaps in_caps;
  EXPECT_NE(0u, d.in_get_caps(ins + 5, &in_caps));
}

// With no input device the link does not open, and tells the user why.
inline void expect_set_midi_fails_cleanly_without_devices(const MidiDriver& d) {
  if (d.in_num_devs() != 0) GTEST_SKIP() << "this machine has MIDI input devices";
  TempDir dir;
  HostRecorder host;
  ASSERT_EQ(1, open_log());
  EXPECT_EQ(0, set_midi(nullptr, 0, 0));
  ASSERT_EQ(1u, host.boxes().size());
  EXPECT_EQ("Midi In Open Error : Bad Device ID", host.boxes()[0].text);
  EXPECT_EQ(0, midi_link_is_open());
  free_midi();
  EXPECT_STREQ("MidiOut  :  v0.0 (0x0)\nMidiIn   :  v0.0 (0x0)", get_midi_cfg(d.out_num_devs(), 0));
  close_log();
  EXPECT_NE(std::string::npos,
            read_file_bytes(dir.file(kLogFileName)).find("Midi In Open Error : Bad Device ID"));
}

inline void expect_memory_and_events(const MidiDriver& d) {
  MidiMem mem = d.mem_alloc(kGmemShare | kGmemZeroinit | kGmemMoveable, 256);
  ASSERT_NE(nullptr, mem);
  auto* bytes = static_cast<unsigned char*>(d.mem_lock(mem));
  ASSERT_NE(nullptr, bytes);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(0, bytes[i]);
  bytes[255] = 0xF7;
  d.mem_unlock(mem);
  d.mem_free(mem);

  MidiEvent a = d.event_create(), b = d.event_create();
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  const MidiEvent both[2] = {a, b};
  EXPECT_EQ(kWaitTimeout, d.wait_any(2, both, 1));
  d.event_set(b);
  EXPECT_EQ(kWaitObject0 + 1, d.wait_any(2, both, 1000));
  d.event_set(a);
  EXPECT_EQ(kWaitObject0, d.wait_any(2, both, 1000));  // the first in the list
  d.event_reset(a);
  EXPECT_EQ(kWaitTimeout, d.wait_one(a, 0));
  EXPECT_EQ(kWaitObject0, d.wait_one(b, 0));
  d.event_close(a);
  d.event_close(b);
}

inline void expect_error_texts_terminated(const MidiDriver& d) {
  char text[257];
  std::memset(text, 'x', sizeof text);
  text[0] = '\0';
  d.out_error_text(kMidiErrNotReady, text, sizeof text);
  EXPECT_LT(std::strlen(text), sizeof text);
  text[0] = '\0';
  d.in_error_text(kMmBadDeviceId, text, sizeof text);
  EXPECT_LT(std::strlen(text), sizeof text);
}
