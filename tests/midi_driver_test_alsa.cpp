// The ALSA rawmidi driver on a machine without MIDI hardware.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/midi_platform_test.h"

namespace {

const MidiDriver& alsa() { return platform_midi_driver(); }

TEST(MidiAlsaTest, EnumeratesWithoutFailing) { expect_enumeration_without_failing(alsa()); }

TEST(MidiAlsaTest, OpeningADeviceThatIsNotThereIsABadDeviceId) {
  MidiHandle h = nullptr;
  EXPECT_EQ(unsigned{kMmBadDeviceId}, alsa().out_open(&h, alsa().out_num_devs(), nullptr, 0));
  EXPECT_EQ(unsigned{kMmBadDeviceId}, alsa().in_open(&h, alsa().in_num_devs(), nullptr, 0));
  EXPECT_EQ(nullptr, h);
}

TEST(MidiAlsaTest, SetMidiFailsCleanlyWithoutDevices) {
  midi_driver_install(nullptr);
  expect_set_midi_fails_cleanly_without_devices(alsa());
}

TEST(MidiAlsaTest, MemoryAndEvents) { expect_memory_and_events(alsa()); }

TEST(MidiAlsaTest, ErrorTexts) {
  expect_error_texts_terminated(alsa());
  char text[257] = "unchanged";
  EXPECT_NE(0u, alsa().out_error_text(4242, text, sizeof text));
  EXPECT_STREQ("unchanged", text);
  EXPECT_EQ(0u, alsa().out_error_text(kMidiErrNotReady, text, sizeof text));
  EXPECT_STREQ("The MIDI device is busy.", text);
}

}  // namespace
