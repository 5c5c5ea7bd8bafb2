// The MIDI devices named on the command line, and the JSON strings of the
// --json output, in the program's own code.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "link/link_target.h"

#include "support/settings.h"
#include "tests/fake_midi_devices.h"
#include "support/json_text.h"
#include "ui/link_choice.h"

namespace {

TEST(LinkChoice, MidiDevicesByNumberWholeNameOrOnePart) {
  FakeMidiDevices devices({{"Stand-in Out A"}, {"USB MIDI 1"}, {"USB MIDI 1"}}, {{"Stand-in In A"}});
  char why[400];
  bool ambiguous = false;
  EXPECT_EQ(midi_device_by_name(true, "Stand-in Out A", why, sizeof why, &ambiguous), 0);
  EXPECT_EQ(midi_device_by_name(true, "Out A", why, sizeof why, &ambiguous), 0);
  EXPECT_EQ(midi_device_by_name(true, "2", why, sizeof why, &ambiguous), 2);
  EXPECT_EQ(midi_device_by_name(false, "In", why, sizeof why, &ambiguous), 0);

  // Two devices of one name: each has a whole name of its own, the second
  // numbered; a part both hold is refused, both named, and nothing chosen.
  EXPECT_EQ(midi_device_by_name(true, "USB MIDI 1", why, sizeof why, &ambiguous), 1);
  EXPECT_EQ(midi_device_by_name(true, "USB MIDI 1 #2", why, sizeof why, &ambiguous), 2);
  EXPECT_EQ(midi_device_by_name(true, "USB MIDI", why, sizeof why, &ambiguous), -1);
  EXPECT_TRUE(ambiguous);
  EXPECT_NE(std::string(why).find("1 \"USB MIDI 1\", 2 \"USB MIDI 1 #2\""), std::string::npos) << why;
  EXPECT_EQ(midi_device_by_name(true, "3", why, sizeof why, &ambiguous), -1);
  EXPECT_FALSE(ambiguous);
  EXPECT_EQ(midi_device_by_name(true, "Nothing", why, sizeof why, &ambiguous), -1);
  EXPECT_FALSE(ambiguous);

  RunOptions options;
  options.midi_out = "USB";
  std::string reason;
  LinkChoice choice;
  EXPECT_EQ(link_choice_read(options, &choice, &reason), 2);
  options.midi_out = "Nothing";
  EXPECT_EQ(link_choice_read(options, &choice, &reason), 4);
  EXPECT_EQ(reason, "--midi-out: no MIDI output is named \"Nothing\"");
}

// A number that is also (a part of) another device's name fits two devices.
TEST(LinkChoice, ANumberThatIsAlsoANameIsRefused) {
  FakeMidiDevices devices({{"Synth"}, {"2"}, {"Desk MIDI 2"}}, {{"In"}});
  char why[400];
  bool ambiguous = false;
  EXPECT_EQ(midi_device_by_name(true, "2", why, sizeof why, &ambiguous), -1);
  EXPECT_TRUE(ambiguous);
  EXPECT_NE(std::string(why).find("1 \"2\""), std::string::npos) << why;
  // Number 1 is the device named "2"; no other name holds "1".
  EXPECT_EQ(midi_device_by_name(true, "1", why, sizeof why, &ambiguous), 1);
  EXPECT_EQ(midi_device_by_name(true, "Desk", why, sizeof why, &ambiguous), 2);
  // A number no device has is a name like any other: "Desk MIDI 2" holds no "7",
  // but a device named "Synth 7" would be chosen by it.
  EXPECT_EQ(midi_device_by_name(true, "7", why, sizeof why, &ambiguous), -1);
  EXPECT_FALSE(ambiguous);
  FakeMidiDevices more({{"Synth 7"}, {"Other"}}, {{"In"}});
  EXPECT_EQ(midi_device_by_name(true, "7", why, sizeof why, &ambiguous), 0);
}

// The choice is a value on top of the settings' link: the settings record is
// never written with it, so it can never be saved.
TEST(LinkChoice, AValueOnTopOfTheSettingsThatLeavesThemAlone) {
  FakeMidiDevices devices({{"Out A"}, {"Out B"}}, {{"In A"}});
  devtype = 0;
  port = 2;
  mididevnum_out = 0;
  mididevnum_in = 0;
  xferrate = 1;
  skipver = 0;
  RunOptions options;
  options.midi_out = "Out B";
  options.rate = 3;
  options.skip_version_check = true;
  LinkChoice choice;
  std::string why;
  ASSERT_EQ(link_choice_read(options, &choice, &why), 0);
  LinkTarget link = link_choice_target(choice);
  EXPECT_EQ(link.devtype, kLinkMidi);
  EXPECT_EQ(link.midi_out, 1);
  EXPECT_EQ(link.midi_in, 0);  // the direction not named is the settings'
  EXPECT_EQ(link.xferrate, 3);
  EXPECT_EQ(link.skipver, 1);
  EXPECT_EQ(devtype, 0);
  EXPECT_EQ(mididevnum_out, 0);
  EXPECT_EQ(xferrate, 1);
  EXPECT_EQ(skipver, 0);

  // A path that is one of the ports' devices keeps that port's number; any
  // other path is no port's; COMn is that port's device.
  const std::string saved = com_device_path[2];
  std::snprintf(com_device_path[2], kComDevicePathSize, "%s", "/dev/ttyUSB7");
  RunOptions serial;
  serial.ports = {"/dev/ttyUSB7"};
  ASSERT_EQ(link_choice_read(serial, &choice, &why), 0);
  link = link_choice_target(choice);
  EXPECT_EQ(link.devtype, kLinkSerial);
  EXPECT_EQ(link.com_port, 3);
  EXPECT_STREQ(link.device, "/dev/ttyUSB7");
  serial.ports = {"/dev/pts/99"};
  ASSERT_EQ(link_choice_read(serial, &choice, &why), 0);
  link = link_choice_target(choice);
  EXPECT_EQ(link.com_port, 0);
  EXPECT_EQ(link_in_use_text(link), "/dev/pts/99 at 38400 baud");
  serial.ports = {"com3"};
  ASSERT_EQ(link_choice_read(serial, &choice, &why), 0);
  link = link_choice_target(choice);
  EXPECT_EQ(link.com_port, 3);
  EXPECT_EQ(link_in_use_text(link), "COM3 (/dev/ttyUSB7) at 38400 baud");
  EXPECT_EQ(port, 2);
  EXPECT_EQ(devtype, 0);
  std::snprintf(com_device_path[2], kComDevicePathSize, "%s", saved.c_str());

  // A path too long for the link is refused, never cut.
  serial.ports = {"/dev/" + std::string(300, 'x')};
  EXPECT_EQ(link_choice_read(serial, &choice, &why), 2);
  EXPECT_NE(why.find("longer than 255 bytes"), std::string::npos) << why;
}

TEST(JsonText, AnyBytesGiveAValidString) {
  EXPECT_EQ(json_string("a \"b\"\\c\n\x01\x7f"), "\"a \\\"b\\\"\\\\c\\n\\u0001\\u007f\"");
  EXPECT_EQ(json_string("caf\xc3\xa9 \xe2\x82\xac"), "\"caf\xc3\xa9 \xe2\x82\xac\"");
  // A lone byte, a cut sequence, an overlong form and a surrogate are replaced.
  EXPECT_EQ(json_string("\xff|\xc3|\xc0\xaf|\xed\xa0\x80"), "\"\\ufffd|\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd\"");
}

}  // namespace
