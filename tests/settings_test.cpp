// Loading and saving the settings record. These run on both platforms: on
// Windows against the platform's private-profile functions, on Linux against
// the program's own reader and writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/current_dir.h"
#include "support/profile.h"
#include "support/settings.h"
#include "support/strings.h"
#include "tests/fake_midi_devices.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSection = "XR3300/R SystemUpdate Utility";

std::string current_dir() {
  char path[1024];
  return get_current_dir(path, sizeof path) ? std::string(path) : std::string();
}

std::string message_text(int id) {
  char text[512];
  load_string(id, text, sizeof text);
  return text;
}

// The file's lines without their line breaks.
std::vector<std::string> file_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(read_file_bytes(path));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    use_ini("xrupdate.ini");
    use_devices({{"Out A"}, {"Out B"}, {"Out C"}}, {{"In A"}, {"In B"}});
    scramble_record();
  }

  // Every field gets a value that no load would give it, so a field the load
  // forgets shows up; the sizes start as start-up leaves them.
  void scramble_record() {
    devtype = port = rate_num = mididevnum_out = mididevnum_in = 99;
    xferrate = skipver = warning = xpos = ypos = 99;
    xsize = 400;
    ysize = 150;
  }

  // A new file for each case: the platform may keep a read file cached.
  void use_ini(const std::string& name) {
    ini = dir.file(name);
    std::snprintf(inifile, sizeof inifile, "%s", ini.c_str());
  }

  void use_devices(std::vector<FakeMidiOut> outputs, std::vector<FakeMidiIn> inputs) {
    devices.reset();
    devices = std::make_unique<FakeMidiDevices>(std::move(outputs), std::move(inputs));
  }

  void write_settings(const std::string& name, const std::string& keys) {
    use_ini(name);
    write_file_bytes(ini, std::string("[") + kSection + "]\r\n" + keys);
  }

  std::string saved(const char* key) {
    char value[256];
    profile_get_string(kSection, key, value, sizeof value, ini.c_str());
    return value;
  }

  bool has_key(const char* key) {
    for (const std::string& line : file_lines(ini)) {
      if (line.compare(0, std::strlen(key) + 1, std::string(key) + "=") == 0) return true;
    }
    return false;
  }

  void expect_one_box(int id) {
    const auto boxes = host.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].text, message_text(id));
    EXPECT_EQ(boxes[0].caption, kSection);
    EXPECT_EQ(boxes[0].style, static_cast<unsigned>(kMbOk | kMbSetForeground));
  }

  TempDir dir;
  HostRecorder host;
  std::unique_ptr<FakeMidiDevices> devices;
  std::string ini;
};

// ---- Loading: defaults and ranges ----

TEST_F(SettingsFile, NoFileGivesDefaults) {
  const std::string before = current_dir();
  EXPECT_EQ(get_initial(), 1);
  EXPECT_EQ(warning, 1);
  EXPECT_EQ(xpos, 40);
  EXPECT_EQ(ypos, 30);
  EXPECT_EQ(port, 1);
  EXPECT_EQ(devtype, 0);
  EXPECT_EQ(rate_num, 1);
  EXPECT_EQ(skipver, 0);
  EXPECT_EQ(xferrate, 0);
  EXPECT_EQ(mididevnum_out, 0);
  EXPECT_EQ(mididevnum_in, 0);
  EXPECT_EQ(xsize, 400);
  EXPECT_EQ(ysize, 150);
  EXPECT_TRUE(host.boxes().empty());
  EXPECT_EQ(current_dir(), before);
  EXPECT_FALSE(fs::exists(ini));  // loading never writes
}

TEST_F(SettingsFile, EmptySectionGivesDefaults) {
  write_settings("empty.ini", "");
  get_initial();
  EXPECT_EQ(warning, 1);
  EXPECT_EQ(xpos, 40);
  EXPECT_EQ(port, 1);
  EXPECT_EQ(mididevnum_out, 0);
  EXPECT_TRUE(host.boxes().empty());
}

TEST_F(SettingsFile, ComPortOutsideOneToFourLoadsAsOne) {
  const struct { const char* text; int expected; } cases[] = {
      {"0", 1}, {"5", 1}, {"4", 4}, {"2", 2}, {"-3", 1}, {"abc", 1}, {"3rd", 3}};
  int n = 0;
  for (const auto& c : cases) {
    write_settings("port" + std::to_string(n++) + ".ini", std::string("ComPortNum=") + c.text + "\r\n");
    scramble_record();
    get_initial();
    EXPECT_EQ(port, c.expected) << "ComPortNum=" << c.text;
  }
}

TEST_F(SettingsFile, TransferRateOutsideOneToThreeLoadsAsZero) {
  const struct { const char* text; int expected; } cases[] = {
      {"3", 3}, {"1", 1}, {"2", 2}, {"0", 0}, {"4", 0}, {"-1", 0}, {"100", 0}};
  int n = 0;
  for (const auto& c : cases) {
    write_settings("rate" + std::to_string(n++) + ".ini", std::string("TransferRate=") + c.text + "\r\n");
    scramble_record();
    get_initial();
    EXPECT_EQ(xferrate, c.expected) << "TransferRate=" << c.text;
  }
}

TEST_F(SettingsFile, FlagsBecomeZeroOrOne) {
  write_settings("flags.ini", "DeviceType=7\r\nSkipVersionCheck=2\r\nWarning=5\r\n");
  get_initial();
  EXPECT_EQ(devtype, 1);
  EXPECT_EQ(skipver, 1);
  EXPECT_EQ(warning, 1);

  write_settings("flags0.ini", "DeviceType=0\r\nSkipVersionCheck=0\r\nWarning=0\r\n");
  scramble_record();
  get_initial();
  EXPECT_EQ(devtype, 0);
  EXPECT_EQ(skipver, 0);
  EXPECT_EQ(warning, 0);

  write_settings("flagsneg.ini", "DeviceType=-1\r\nSkipVersionCheck=-9\r\n");
  scramble_record();
  get_initial();
  EXPECT_EQ(devtype, 1);
  EXPECT_EQ(skipver, 1);
}

TEST_F(SettingsFile, StoredBaudRateIsNotUsedAndSavedAs38400) {
  write_settings("baud.ini", "ComBaudRate=57600\r\n");
  get_initial();
  EXPECT_EQ(rate_num, 1);
  set_initial(nullptr);
  EXPECT_EQ(saved("ComBaudRate"), "38400");
}

TEST_F(SettingsFile, PositionIsReadAsStoredEvenNegative) {
  write_settings("pos.ini", "Xpos=-20\r\nYpos=-7\r\n");
  get_initial();
  EXPECT_EQ(xpos, -20);
  EXPECT_EQ(ypos, -7);
  EXPECT_EQ(xsize, 400);
  EXPECT_EQ(ysize, 150);
}

// ---- Loading: the window size fitted to the desktop ----

TEST_F(SettingsFile, SizeIsClippedToTheDesktop) {
  host.set_desktop(800, 600);
  write_settings("clip1.ini", "Xpos=600\r\nYpos=500\r\n");
  get_initial();
  EXPECT_EQ(xsize, 200);
  EXPECT_EQ(ysize, 100);
  EXPECT_EQ(xpos, 600);  // the position is never moved
  EXPECT_EQ(ypos, 500);

  write_settings("clip2.ini", "Xpos=100\r\nYpos=450\r\n");
  scramble_record();
  get_initial();
  EXPECT_EQ(xsize, 400);
  EXPECT_EQ(ysize, 150);  // ends exactly at the bottom edge
}

TEST_F(SettingsFile, PositionBeyondTheDesktopGivesZeroOrNegativeSize) {
  host.set_desktop(800, 600);
  write_settings("beyond.ini", "Xpos=800\r\nYpos=700\r\n");
  get_initial();
  EXPECT_EQ(xsize, 0);
  EXPECT_EQ(ysize, -100);
}

TEST_F(SettingsFile, ExtremePositionsDoNotOverflow) {
  host.set_desktop(800, 600);
  write_settings("extreme.ini", "Xpos=2147483647\r\nYpos=-2147483648\r\n");
  get_initial();
  EXPECT_EQ(xpos, INT_MAX);
  EXPECT_EQ(ypos, INT_MIN);
  EXPECT_EQ(xsize, 800 - INT_MAX);
  EXPECT_EQ(ysize, 150);
}

// ---- Loading: MIDI devices by name ----

TEST_F(SettingsFile, DevicesAreFoundByNameWhereverTheyAre) {
  use_devices({{"Out C"}, {"Out A"}, {"Out B"}}, {{"In B"}, {"In A"}});
  write_settings("names.ini", "OutputMidiDevice=Out B\r\nInputMidiDevice=In A\r\nDeviceType=1\r\n");
  get_initial();
  EXPECT_EQ(mididevnum_out, 2);
  EXPECT_EQ(mididevnum_in, 1);
  EXPECT_EQ(devtype, 1);
  EXPECT_TRUE(host.boxes().empty());
}

TEST_F(SettingsFile, FirstDeviceOfTheNameWinsAndUnreadableOnesDoNotMatch) {
  FakeMidiOut broken{"Twin"};
  broken.caps_fail = true;
  use_devices({broken, {"Other"}, {"Twin"}, {"Twin"}}, {{"In A"}});
  write_settings("twins.ini", "OutputMidiDevice=Twin\r\n");
  get_initial();
  EXPECT_EQ(mididevnum_out, 2);
  EXPECT_TRUE(host.boxes().empty());
}

// Two identical interfaces: the second is saved as "Twin #2" and found again
// on the next start, while the first keeps the plain name older files hold.
TEST_F(SettingsFile, TheSecondOfTwoSameNamedDevicesIsSavedAndFoundAgain) {
  use_devices({{"Twin"}, {"Other"}, {"Twin"}}, {{"Twin In"}, {"Twin In"}});
  write_settings("twins2.ini", "DeviceType=1\r\n");
  get_initial();
  mididevnum_out = 2;
  mididevnum_in = 1;
  set_initial(nullptr);
  EXPECT_EQ(saved("OutputMidiDevice"), "Twin #2");
  EXPECT_EQ(saved("InputMidiDevice"), "Twin In #2");
  scramble_record();
  get_initial();
  EXPECT_EQ(mididevnum_out, 2);
  EXPECT_EQ(mididevnum_in, 1);
  EXPECT_TRUE(host.boxes().empty());
}

TEST_F(SettingsFile, NameDifferingInLetterCaseDoesNotMatch) {
  write_settings("case.ini", "OutputMidiDevice=out b\r\n");
  get_initial();
  EXPECT_EQ(mididevnum_out, 0);
  expect_one_box(IDS_MIDI_OUT_NOT_FOUND);
}

TEST_F(SettingsFile, MissingOutputDeviceWarnsAndTakesTheFirst) {
  write_settings("noout.ini", "OutputMidiDevice=Gone Away\r\nInputMidiDevice=In B\r\n");
  get_initial();
  EXPECT_EQ(mididevnum_out, 0);
  EXPECT_EQ(mididevnum_in, 1);
  expect_one_box(IDS_MIDI_OUT_NOT_FOUND);
}

TEST_F(SettingsFile, MissingInputDeviceWarnsAndLeavesNone) {
  write_settings("noin.ini", "OutputMidiDevice=Out C\r\nInputMidiDevice=Gone Away\r\n");
  get_initial();
  EXPECT_EQ(mididevnum_out, 2);
  EXPECT_EQ(mididevnum_in, -1);
  expect_one_box(IDS_MIDI_IN_NOT_FOUND);
  // Saved without a visit to the dialog: the input name is forgotten.
  set_initial(nullptr);
  EXPECT_EQ(saved("InputMidiDevice"), "");
  EXPECT_TRUE(has_key("InputMidiDevice"));
  EXPECT_EQ(saved("OutputMidiDevice"), "Out C");
}

TEST_F(SettingsFile, BothDevicesMissingGiveTwoMessagesInOrder) {
  write_settings("noboth.ini", "OutputMidiDevice=X\r\nInputMidiDevice=Y\r\n");
  get_initial();
  const auto boxes = host.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, message_text(IDS_MIDI_OUT_NOT_FOUND));
  EXPECT_EQ(boxes[1].text, message_text(IDS_MIDI_IN_NOT_FOUND));
}

TEST_F(SettingsFile, NoOutputDevicesSelectSerialSilently) {
  use_devices({}, {{"In A"}});
  write_settings("noouts.ini", "DeviceType=1\r\nOutputMidiDevice=Out A\r\nInputMidiDevice=In A\r\n");
  get_initial();
  EXPECT_EQ(devtype, 0);
  EXPECT_EQ(mididevnum_out, -1);
  EXPECT_EQ(mididevnum_in, 0);
  EXPECT_TRUE(host.boxes().empty());
  // Saved as it is, the remembered output name is lost.
  set_initial(nullptr);
  EXPECT_EQ(saved("OutputMidiDevice"), "");
  EXPECT_EQ(saved("InputMidiDevice"), "In A");
  EXPECT_EQ(saved("DeviceType"), "0");
}

TEST_F(SettingsFile, NoInputDevicesSelectSerialSilently) {
  use_devices({{"Out A"}}, {});
  write_settings("noins.ini", "DeviceType=1\r\nOutputMidiDevice=Out A\r\nInputMidiDevice=In A\r\n");
  get_initial();
  EXPECT_EQ(devtype, 0);
  EXPECT_EQ(mididevnum_out, 0);
  EXPECT_EQ(mididevnum_in, -1);
  EXPECT_TRUE(host.boxes().empty());
  set_initial(nullptr);
  EXPECT_EQ(saved("InputMidiDevice"), "");
  EXPECT_EQ(saved("OutputMidiDevice"), "Out A");
}

TEST_F(SettingsFile, NoDevicesWithEmptyNamesLeaveBothNone) {
  use_devices({}, {});
  get_initial();
  EXPECT_EQ(devtype, 0);
  EXPECT_EQ(mididevnum_out, -1);
  EXPECT_EQ(mididevnum_in, -1);
  EXPECT_EQ(devices->out_caps_calls(), 0);
  EXPECT_EQ(devices->in_caps_calls(), 0);
}

TEST_F(SettingsFile, WarningZeroSilencesMessagesButChangesNothingElse) {
  const std::string before = current_dir();
  write_settings("quiet.ini",
                 "Warning=0\r\nOutputMidiDevice=Gone\r\nInputMidiDevice=Gone\r\n"
                 "CurrentPath=" + dir.file("no such folder") + "\r\n");
  get_initial();
  EXPECT_TRUE(host.boxes().empty());
  EXPECT_EQ(warning, 0);
  EXPECT_EQ(mididevnum_out, 0);
  EXPECT_EQ(mididevnum_in, -1);
  EXPECT_EQ(current_dir(), before);
}

// ---- Loading: the working directory ----

TEST_F(SettingsFile, WorkingDirectoryIsRestored) {
  const fs::path folder = fs::path(dir.path()) / "last updates";
  fs::create_directory(folder);
  write_settings("cwd.ini", "CurrentPath=" + folder.string() + "\r\n");
  get_initial();
  EXPECT_TRUE(host.boxes().empty());
  EXPECT_TRUE(fs::equivalent(fs::path(current_dir()), folder)) << current_dir();
}

TEST_F(SettingsFile, WorkingDirectoryThatIsGoneWarnsAndStays) {
  const std::string before = current_dir();
  write_settings("gone.ini", "CurrentPath=" + dir.file("deleted folder") + "\r\n");
  get_initial();
  expect_one_box(IDS_CHDIR_FAILED);
  EXPECT_EQ(current_dir(), before);
}

// ---- Saving ----

TEST_F(SettingsFile, NewFileHasTheKeysInSaveOrder) {
  get_initial();
  devtype = 1;
  port = 3;
  mididevnum_out = 1;
  mididevnum_in = 0;
  skipver = 1;
  xferrate = 2;
  host.set_window_origin(-5, 77);
  set_initial(nullptr);

  const std::vector<std::string> lines = file_lines(ini);
  const std::vector<std::string> expected = {
      std::string("[") + kSection + "]",
      "OutputMidiDevice=Out B",
      "InputMidiDevice=In A",
      "Xpos=-5",
      "Ypos=77",
      "ComPortNum=3",
      "ComBaudRate=38400",
      "DeviceType=1",
      "SkipVersionCheck=1",
      "TransferRate=2",
      "CurrentPath=" + current_dir(),
  };
  ASSERT_GE(lines.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "line " << i;
  // After them only the platform's own keys (the serial device paths on Linux).
  for (size_t i = expected.size(); i < lines.size(); ++i)
    EXPECT_EQ(lines[i].compare(0, 3, "Com"), 0) << lines[i];
  EXPECT_FALSE(has_key("Warning"));
  // A new file uses CR LF, as the platform's own writer does.
  EXPECT_EQ(read_file_bytes(ini).find("]\r\nOutputMidiDevice="), std::string(kSection).size() + 1);
}

TEST_F(SettingsFile, WarningWrittenByTheUserStaysAsItWas) {
  write_settings("warn.ini", "Warning=0\r\nXpos=1\r\n");
  get_initial();
  set_initial(nullptr);
  int count = 0;
  for (const std::string& line : file_lines(ini)) count += line.compare(0, 8, "Warning=") == 0;
  EXPECT_EQ(count, 1);
  EXPECT_EQ(saved("Warning"), "0");
  EXPECT_EQ(file_lines(ini)[1], "Warning=0");
}

TEST_F(SettingsFile, SavingKeepsOtherSectionsAndReplacesInPlace) {
  use_ini("shared.ini");
  write_file_bytes(ini, "[Before]\r\nXpos=1\r\n[XR3300/R SystemUpdate Utility]\r\nComPortNum=2\r\n"
                        "Xpos=3\r\n[After]\r\nName=kept\r\n");
  get_initial();
  port = 4;
  host.set_window_origin(12, 34);
  set_initial(nullptr);
  EXPECT_EQ(profile_get_int("Before", "Xpos", -1, ini.c_str()), 1);
  char kept[64];
  profile_get_string("After", "Name", kept, sizeof kept, ini.c_str());
  EXPECT_STREQ(kept, "kept");
  EXPECT_EQ(saved("ComPortNum"), "4");
  EXPECT_EQ(saved("Xpos"), "12");
  EXPECT_EQ(saved("Ypos"), "34");
  // The keys that were there keep their places; the new ones follow them in the section.
  const std::vector<std::string> lines = file_lines(ini);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[3], "ComPortNum=4");
  EXPECT_EQ(lines[4], "Xpos=12");
  EXPECT_EQ(lines[5], "OutputMidiDevice=Out A");
  size_t after = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "[After]") after = i;
  }
  // The section ends with the last keys saved, before the next section.
  ASSERT_GT(after, 0u);
  EXPECT_TRUE(lines[after - 1].compare(0, 12, "CurrentPath=") == 0 ||
              lines[after - 1].compare(0, 10, "Com4Device") == 0)
      << lines[after - 1];
}

TEST_F(SettingsFile, UnreadableDeviceKeepsTheNameStored) {
  write_settings("keep.ini", "OutputMidiDevice=Out B\r\nInputMidiDevice=In B\r\n");
  get_initial();
  ASSERT_EQ(mididevnum_out, 1);
  // The devices changed while the program ran: 1 can no longer be read.
  FakeMidiOut broken{"Out B"};
  broken.caps_fail = true;
  FakeMidiIn broken_in{"In B"};
  broken_in.caps_fail = true;
  use_devices({{"Out A"}, broken}, {{"In A"}, broken_in});
  set_initial(nullptr);
  EXPECT_EQ(saved("OutputMidiDevice"), "Out B");
  EXPECT_EQ(saved("InputMidiDevice"), "In B");

  // An identifier past the last device is treated the same way.
  use_ini("keep2.ini");
  write_file_bytes(ini, std::string("[") + kSection + "]\r\nOutputMidiDevice=Old\r\n");
  mididevnum_out = 7;
  set_initial(nullptr);
  EXPECT_EQ(saved("OutputMidiDevice"), "Old");
}

TEST_F(SettingsFile, SavedWorkingDirectoryIsTheCurrentOne) {
  const fs::path folder = fs::path(dir.path()) / "picked";
  fs::create_directory(folder);
  get_initial();
  ASSERT_TRUE(set_current_dir(folder.string().c_str()));
  set_initial(nullptr);
  EXPECT_TRUE(fs::equivalent(fs::path(saved("CurrentPath")), folder)) << saved("CurrentPath");
  ASSERT_TRUE(set_current_dir(dir.path().c_str()));
}

// The reader drops blanks around a value and one pair of matching quotes: a
// folder whose name would lose them comes back all the same.
TEST_F(SettingsFile, WorkingDirectoryWithBlanksOrQuotesAtItsEdgesRoundTrips) {
  int n = 0;
  for (const char* name : {" lead", "'quoted'", "\"both\""}) {
#if defined(_WIN32)
    if (name[0] == '"') continue;  // no such name on Windows
#endif
    const fs::path folder = fs::path(dir.path()) / name;
    fs::create_directory(folder);
    use_ini("round" + std::to_string(++n) + ".ini");
    get_initial();
    ASSERT_TRUE(set_current_dir(folder.string().c_str()));
    set_initial(nullptr);
    ASSERT_TRUE(set_current_dir(dir.path().c_str()));
    scramble_record();
    get_initial();
    EXPECT_TRUE(fs::equivalent(fs::current_path(), folder)) << name << " came back as " << fs::current_path();
    EXPECT_TRUE(host.boxes().empty()) << name;
    ASSERT_TRUE(set_current_dir(dir.path().c_str()));
  }
}

TEST_F(SettingsFile, StrayBaudIndexSavesTheDefaultRate) {
  get_initial();
  rate_num = 2;
  set_initial(nullptr);
  EXPECT_EQ(saved("ComBaudRate"), "57600");
  use_ini("stray.ini");
  rate_num = 9;
  set_initial(nullptr);
  EXPECT_EQ(saved("ComBaudRate"), "38400");
}

TEST_F(SettingsFile, SavedSettingsLoadBackTheSame) {
  use_devices({{"Out A"}, {"Out B"}, {"Out C"}}, {{"In A"}, {"In B"}});
  get_initial();
  devtype = 1;
  port = 2;
  mididevnum_out = 2;
  mididevnum_in = 1;
  skipver = 1;
  xferrate = 3;
  host.set_window_origin(300, 200);
  set_initial(nullptr);

  scramble_record();
  use_devices({{"Out C"}, {"Out B"}, {"Out A"}}, {{"In B"}, {"In A"}});
  get_initial();
  EXPECT_EQ(devtype, 1);
  EXPECT_EQ(port, 2);
  EXPECT_EQ(rate_num, 1);
  EXPECT_EQ(mididevnum_out, 0);  // "Out C", now first
  EXPECT_EQ(mididevnum_in, 0);   // "In B", now first
  EXPECT_EQ(skipver, 1);
  EXPECT_EQ(xferrate, 3);
  EXPECT_EQ(xpos, 300);
  EXPECT_EQ(ypos, 200);
  EXPECT_EQ(warning, 1);
  EXPECT_TRUE(host.boxes().empty());
}

// Device names are compared exactly, but the reader drops blanks at a value's
// ends and a pair of quotes around it: such names come back all the same.
TEST_F(SettingsFile, DeviceNamesWithBlanksOrQuotesAtTheirEndsRoundTrip) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"USB MIDI ", " USB MIDI"}, {"\"Port 1\"", "'In'"}, {"\tTab\t", "\"x"}, {"'x'", "' "}};
  int n = 0;
  for (const auto& name : names) {
    // Decoys that a changed name would match instead of the stored device.
    use_devices({{"USB MIDI"}, {"Port 1"}, {name.first}}, {{"In"}, {"x"}, {name.second}});
    use_ini("devices" + std::to_string(++n) + ".ini");
    get_initial();
    mididevnum_out = 2;
    mididevnum_in = 2;
    set_initial(nullptr);
    scramble_record();
    get_initial();
    EXPECT_EQ(mididevnum_out, 2) << "[" << name.first << "] as " << read_file_bytes(ini);
    EXPECT_EQ(mididevnum_in, 2) << "[" << name.second << "] as " << read_file_bytes(ini);
    EXPECT_TRUE(host.boxes().empty()) << name.first;
  }
  // A plain name is stored as it is.
  EXPECT_EQ(saved("OutputMidiDevice"), "'x'");
  use_devices({{"Out A"}}, {{"In A"}});
  use_ini("plain.ini");
  get_initial();
  set_initial(nullptr);
  const std::vector<std::string> lines = file_lines(ini);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "OutputMidiDevice=Out A"), lines.end());
}

TEST_F(SettingsFile, DamagedFileLoadsDefaultsAndClampedValues) {
  std::string junk = "\x01\x02garbage\xff\xfe\r\n[XR3300/R SystemUpdate Utility\r\n==\r\n";
  junk += std::string(5000, 'z');
  junk += "\r\n[XR3300/R SystemUpdate Utility]\r\nComPortNum=77\r\nTransferRate=9zz\r\nXpos\r\n";
  junk += "DeviceType=\x7f\r\nOutputMidiDevice=" + std::string(400, 'q') + "\r\nYpos=1";
  write_settings("damaged.ini", "");
  write_file_bytes(ini, junk);
  get_initial();
  EXPECT_EQ(port, 1);
  EXPECT_EQ(xferrate, 0);
  EXPECT_EQ(xpos, 40);
  EXPECT_EQ(ypos, 1);
  EXPECT_EQ(devtype, 0);
  EXPECT_EQ(mididevnum_out, 0);
  expect_one_box(IDS_MIDI_OUT_NOT_FOUND);
  set_initial(nullptr);
  EXPECT_EQ(profile_get_int(kSection, "ComPortNum", -1, ini.c_str()), 1);
}

}  // namespace
