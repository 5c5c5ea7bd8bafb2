// The winmm driver on a machine without MIDI hardware (Wine here).
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/midi_platform_test.h"

namespace {

const MidiDriver& winmm() { return platform_midi_driver(); }

TEST(MidiWinmmTest, EnumeratesWithoutFailing) {
  std::printf("winmm lists %u output and %u input devices\n", winmm().out_num_devs(),
              winmm().in_num_devs());
  expect_enumeration_without_failing(winmm());
}

TEST(MidiWinmmTest, SetMidiFailsCleanlyWithoutDevices) {
  midi_driver_install(nullptr);
  expect_set_midi_fails_cleanly_without_devices(winmm());
}

TEST(MidiWinmmTest, GlobalMemoryAndWin32Events) { expect_memory_and_events(winmm()); }

TEST(MidiWinmmTest, ErrorTexts) { expect_error_texts_terminated(winmm()); }

}  // namespace
