// The MIDI devices named on the command line, and the JSON strings of the
// --json output, in the program's own code.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/settings.h"
#include "tests/fake_midi_devices.h"
#include "ui/term/json_text.h"
#include "ui/term/link_choice.h"

namespace {

TEST(LinkChoice, MidiDevicesByNumberWholeNameOrOnePart) {
  FakeMidiDevices devices({{"Stand-in Out A"}, {"USB MIDI 1"}, {"USB MIDI 1"}}, {{"Stand-in In A"}});
  char why[400];
  bool ambiguous = false;
  EXPECT_EQ(midi_device_by_name(true, "Stand-in Out A", why, sizeof why, &ambiguous), 0);
  EXPECT_EQ(midi_device_by_name(true, "Out A", why, sizeof why, &ambiguous), 0);
  EXPECT_EQ(midi_device_by_name(true, "2", why, sizeof why, &ambiguous), 2);
  EXPECT_EQ(midi_device_by_name(false, "In", why, sizeof why, &ambiguous), 0);

  // Two devices of one name: refused, both named, and nothing chosen.
  EXPECT_EQ(midi_device_by_name(true, "USB MIDI 1", why, sizeof why, &ambiguous), -1);
  EXPECT_TRUE(ambiguous);
  EXPECT_NE(std::string(why).find("1 \"USB MIDI 1\", 2 \"USB MIDI 1\""), std::string::npos) << why;
  EXPECT_EQ(midi_device_by_name(true, "3", why, sizeof why, &ambiguous), -1);
  EXPECT_FALSE(ambiguous);
  EXPECT_EQ(midi_device_by_name(true, "Nothing", why, sizeof why, &ambiguous), -1);
  EXPECT_FALSE(ambiguous);

  RunOptions options;
  options.midi_out = "USB";
  FILE* err = std::tmpfile();
  EXPECT_EQ(link_choice_set(options, err), 2);
  options.midi_out = "Nothing";
  EXPECT_EQ(link_choice_set(options, err), 4);
  std::fclose(err);
  link_choice_clear();
}

// The choice is the settings' link for the run and is never saved: the loaded
// values come back, except one the user changed meanwhile.
TEST(LinkChoice, AppliedForTheRunAndPutBackBeforeSaving) {
  FakeMidiDevices devices({{"Out A"}, {"Out B"}}, {{"In A"}});
  devtype = 0;
  port = 2;
  mididevnum_out = 0;
  xferrate = 1;
  RunOptions options;
  options.midi_out = "Out B";
  options.rate = 3;
  ASSERT_EQ(link_choice_set(options, stderr), 0);
  link_choice_apply();
  EXPECT_EQ(devtype, 1);
  EXPECT_EQ(mididevnum_out, 1);
  EXPECT_EQ(xferrate, 3);
  port = 4;  // changed in Config... during the run
  link_choice_restore();
  EXPECT_EQ(devtype, 0);
  EXPECT_EQ(mididevnum_out, 0);
  EXPECT_EQ(xferrate, 1);
  EXPECT_EQ(port, 4);
  link_choice_clear();
}

TEST(JsonText, AnyBytesGiveAValidString) {
  EXPECT_EQ(json_string("a \"b\"\\c\n\x01\x7f"), "\"a \\\"b\\\"\\\\c\\n\\u0001\\u007f\"");
  EXPECT_EQ(json_string("caf\xc3\xa9 \xe2\x82\xac"), "\"caf\xc3\xa9 \xe2\x82\xac\"");
  // A lone byte, a cut sequence, an overlong form and a surrogate are replaced.
  EXPECT_EQ(json_string("\xff|\xc3|\xc0\xaf|\xed\xa0\x80"), "\"\\ufffd|\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd\"");
}

}  // namespace
