// The private-profile functions: the platform's own on Windows, the program's
// reader and writer on Linux. Both must give the same results.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "support/profile.h"
#include "tests/test_support.h"

namespace {

constexpr const char* kSec = "XR3300/R SystemUpdate Utility";

std::string get_string(const std::string& file, const char* key, const char* section = kSec,
                       int size = 256) {
  std::string buffer(static_cast<size_t>(size), 'x');
  const int length = profile_get_string(section, key, &buffer[0], size, file.c_str());
  EXPECT_EQ(static_cast<size_t>(length), std::string(buffer.c_str()).size());
  return buffer.c_str();
}

int get_int(const std::string& file, const char* key, int default_value = -777,
            const char* section = kSec) {
  return profile_get_int(section, key, default_value, file.c_str());
}

class ProfileFile : public ::testing::Test {
 protected:
  TempDir dir;
  std::string ini = dir.file("xrupdate.ini");
};

TEST_F(ProfileFile, MissingFileGivesDefaults) {
  EXPECT_EQ(get_int(ini, "Xpos", 40), 40);
  EXPECT_EQ(get_string(ini, "OutputMidiDevice"), "");
}

TEST_F(ProfileFile, MissingSectionOrKeyGivesDefaults) {
  write_file_bytes(ini, "[Other]\r\nXpos=5\r\n");
  EXPECT_EQ(get_int(ini, "Xpos", 40), 40);
  write_file_bytes(ini + "2", "[XR3300/R SystemUpdate Utility]\r\nYpos=5\r\n");
  EXPECT_EQ(get_int(ini + "2", "Xpos", 40), 40);
  EXPECT_EQ(get_string(ini + "2", "Xpos"), "");
}

TEST_F(ProfileFile, NamesMatchWithoutRegardToCase) {
  write_file_bytes(ini, "[xr3300/r systemupdate UTILITY]\r\nxPOS=12\r\nOUTPUTMIDIDEVICE=Port A\r\n");
  EXPECT_EQ(get_int(ini, "Xpos"), 12);
  EXPECT_EQ(get_string(ini, "OutputMidiDevice"), "Port A");
}

TEST_F(ProfileFile, BlanksAroundNamesAndValuesAreDropped) {
  write_file_bytes(ini, "  [ XR3300/R SystemUpdate Utility ]  \r\n  Xpos  =  12  \r\n"
                        "\tOutputMidiDevice =\t My  Port \t\r\n");
  EXPECT_EQ(get_int(ini, "Xpos"), 12);
  EXPECT_EQ(get_string(ini, "Xpos"), "12");
  EXPECT_EQ(get_string(ini, "OutputMidiDevice"), "My  Port");
}

TEST_F(ProfileFile, LfAndCrLfFilesReadAlike) {
  write_file_bytes(ini, "[Other]\nA=1\n[XR3300/R SystemUpdate Utility]\nXpos=7\nCurrentPath=/a b\n");
  EXPECT_EQ(get_int(ini, "Xpos"), 7);
  EXPECT_EQ(get_string(ini, "CurrentPath"), "/a b");
  const std::string crlf = dir.file("crlf.ini");
  write_file_bytes(crlf, "[Other]\r\nA=1\r\n[XR3300/R SystemUpdate Utility]\r\nXpos=7\r\nCurrentPath=/a b\r\n");
  EXPECT_EQ(get_int(crlf, "Xpos"), 7);
  EXPECT_EQ(get_string(crlf, "CurrentPath"), "/a b");
}

TEST_F(ProfileFile, ByteOrderMarkBeforeTheSectionIsSkipped) {
  write_file_bytes(ini, "\xEF\xBB\xBF[XR3300/R SystemUpdate Utility]\r\nXpos=7\r\n");
  EXPECT_EQ(get_int(ini, "Xpos"), 7);
  ASSERT_EQ(profile_write_string(kSec, "Ypos", "8", ini.c_str()), 1);
  EXPECT_EQ(get_int(ini, "Xpos"), 7);
  EXPECT_EQ(get_int(ini, "Ypos"), 8);
  const std::string text = read_file_bytes(ini);
  EXPECT_EQ(text.find("[XR3300/R SystemUpdate Utility]"), text.rfind("[XR3300/R SystemUpdate Utility]"))
      << text;
}

TEST_F(ProfileFile, LastLineWithoutLineBreakIsRead) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nXpos=9");
  EXPECT_EQ(get_int(ini, "Xpos"), 9);
}

TEST_F(ProfileFile, KeysOfOtherSectionsAndBeforeAnySectionAreNotSeen) {
  write_file_bytes(ini, "Xpos=1\r\n[XR3300/R SystemUpdate Utility]\r\nYpos=2\r\n[Other]\r\nXpos=3\r\n");
  EXPECT_EQ(get_int(ini, "Xpos", 40), 40);
  EXPECT_EQ(get_int(ini, "Ypos", 30), 2);
  EXPECT_EQ(get_int(ini, "Xpos", 40, "Other"), 3);
}

TEST_F(ProfileFile, FirstOfTwoEqualKeysCounts) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nXpos=1\r\nXpos=2\r\n");
  EXPECT_EQ(get_int(ini, "Xpos"), 1);
}

TEST_F(ProfileFile, ValueAfterFirstEqualsSign) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nCurrentPath=a=b\r\n");
  EXPECT_EQ(get_string(ini, "CurrentPath"), "a=b");
}

TEST_F(ProfileFile, MatchingQuotesAroundAValueAreDropped) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nA=\"Port 1\"\r\nB='x'\r\nC=\"open\r\n"
                        "D=\"mixed'\r\nE=\"\"\r\nF=\"\r\n");
  EXPECT_EQ(get_string(ini, "A"), "Port 1");
  EXPECT_EQ(get_string(ini, "B"), "x");
  EXPECT_EQ(get_string(ini, "C"), "\"open");
  EXPECT_EQ(get_string(ini, "D"), "\"mixed'");
  EXPECT_EQ(get_string(ini, "E"), "");
  EXPECT_EQ(get_string(ini, "F"), "\"");
}

TEST_F(ProfileFile, TextIsCutToTheBuffer) {
  const std::string long_value(300, 'n');
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nCurrentPath=" + long_value + "\r\n");
  EXPECT_EQ(get_string(ini, "CurrentPath"), std::string(255, 'n'));
  EXPECT_EQ(get_string(ini, "CurrentPath", kSec, 8), std::string(7, 'n'));
}

struct IntCase {
  const char* text;
  int expected;
};

TEST_F(ProfileFile, IntegersParseLikeThePlatform) {
  const IntCase cases[] = {
      {"12", 12},         {"-5", -5},         {"+7", 7},           {"12abc", 12},
      {"abc", 0},         {"-", 0},           {"0x10", 16},        {"007", 7},
      {"010", 10},        {"0X1f", 0}  ,       {"-0x10", -16},      {"0b101", 5},
      {"0o17", 15},       {"0x", 0},          {"0xZ", 0},          {"0B11", 0},
      {"0O7", 0},         {"0b2", 0},         {"0xffffffff", -1},  {"1e3", 1},
      {"0x1F", 31},       {"0xAb", 171},      {"0o8", 0},          {"-0b11", -3},
      {"1 2", 1},         {"4.9", 4},         {"- 5", 0},          {"\"3\"", 3},
      {"2147483647", INT_MAX},                {"-2147483648", INT_MIN},
      {"2147483648", INT_MIN},                {"4294967297", 1},
  };
  std::string text = "[XR3300/R SystemUpdate Utility]\r\n";
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    text += "K" + std::to_string(i) + "=" + cases[i].text + "\r\n";
  text += "Empty=\r\nBlank=   \r\n";
  write_file_bytes(ini, text);
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const std::string key = "K" + std::to_string(i);
    EXPECT_EQ(get_int(ini, key.c_str()), cases[i].expected) << "value " << cases[i].text;
  }
  EXPECT_EQ(get_int(ini, "Empty", 40), 40);
  EXPECT_EQ(get_int(ini, "Blank", 40), 40);
}

TEST_F(ProfileFile, WritingCreatesFileAndSection) {
  ASSERT_EQ(profile_write_string(kSec, "Xpos", "15", ini.c_str()), 1);
  ASSERT_EQ(profile_write_string(kSec, "CurrentPath", "/x/y", ini.c_str()), 1);
  EXPECT_EQ(get_int(ini, "Xpos"), 15);
  EXPECT_EQ(get_string(ini, "CurrentPath"), "/x/y");
  const std::string text = read_file_bytes(ini);
  EXPECT_EQ(text.find("[XR3300/R SystemUpdate Utility]"), 0u) << text;
  EXPECT_LT(text.find("Xpos=15"), text.find("CurrentPath=/x/y")) << text;
}

TEST_F(ProfileFile, WritingReplacesInPlaceAndKeepsOtherSections) {
  write_file_bytes(ini, "[First]\r\nXpos=1\r\n[XR3300/R SystemUpdate Utility]\r\nXpos=2\r\nYpos=3\r\n"
                        "[Last]\r\nKey=value\r\n");
  ASSERT_EQ(profile_write_string(kSec, "xpos", "20", ini.c_str()), 1);
  ASSERT_EQ(profile_write_string(kSec, "ComPortNum", "4", ini.c_str()), 1);
  EXPECT_EQ(get_int(ini, "Xpos"), 20);
  EXPECT_EQ(get_int(ini, "Ypos"), 3);
  EXPECT_EQ(get_int(ini, "ComPortNum"), 4);
  EXPECT_EQ(get_int(ini, "Xpos", 0, "First"), 1);
  EXPECT_EQ(get_string(ini, "Key", "Last"), "value");
  const std::string text = read_file_bytes(ini);
  // The new key ends our section, before the next one; the replaced one stays first.
  EXPECT_LT(text.find("Ypos=3"), text.find("ComPortNum=4")) << text;
  EXPECT_LT(text.find("ComPortNum=4"), text.find("[Last]")) << text;
  EXPECT_LT(text.find("[First]"), text.find("=20")) << text;
  EXPECT_LT(text.find("=20"), text.find("Ypos=3")) << text;
}

TEST_F(ProfileFile, WritingAnEmptyValueKeepsTheKey) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nInputMidiDevice=Port\r\n");
  ASSERT_EQ(profile_write_string(kSec, "InputMidiDevice", "", ini.c_str()), 1);
  EXPECT_EQ(get_string(ini, "InputMidiDevice"), "");
  EXPECT_NE(read_file_bytes(ini).find("InputMidiDevice="), std::string::npos);
}

TEST_F(ProfileFile, MalformedLinesDoNotHideKeys) {
  write_file_bytes(ini, "garbage line\r\n[unterminated\r\n=novalue\r\n]\r\n"
                        "[XR3300/R SystemUpdate Utility]\r\njusttext\r\n=5\r\n[\r\nXpos=8\r\n");
  EXPECT_EQ(get_int(ini, "Xpos"), 8);
  ASSERT_EQ(profile_write_string(kSec, "Ypos", "9", ini.c_str()), 1);
  EXPECT_EQ(get_int(ini, "Xpos"), 8);
  EXPECT_EQ(get_int(ini, "Ypos"), 9);
}

// As the platform reads a file: only the first section of a name counts, a
// key line without "=" is the key without a value (so the default), and a
// lone CR ends a line.
TEST_F(ProfileFile, FirstSectionOfANameIsTheOnlyOneReadAndWritten) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nA=1\r\n[Other]\r\nB=2\r\n"
                        "[xr3300/r systemupdate utility]\r\nXpos=5\r\nA=3\r\n");
  EXPECT_EQ(get_int(ini, "A"), 1);
  EXPECT_EQ(get_int(ini, "Xpos", 40), 40);
  ASSERT_EQ(profile_write_string(kSec, "Xpos", "6", ini.c_str()), 1);
  ASSERT_EQ(profile_write_string(kSec, "A", "7", ini.c_str()), 1);
  EXPECT_EQ(get_int(ini, "Xpos", 40), 6);
  EXPECT_EQ(get_int(ini, "A"), 7);
  EXPECT_EQ(get_int(ini, "B", 0, "Other"), 2);
}

TEST_F(ProfileFile, KeyLineWithoutEqualsSignIsTheKeyWithoutAValue) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nXpos\r\nXpos=5\r\n  Ypos  \r\n");
  EXPECT_EQ(get_int(ini, "Xpos", 40), 40);
  EXPECT_EQ(get_string(ini, "Ypos"), "");
  ASSERT_EQ(profile_write_string(kSec, "Xpos", "6", ini.c_str()), 1);
  ASSERT_EQ(profile_write_string(kSec, "Ypos", "7", ini.c_str()), 1);
  EXPECT_EQ(get_int(ini, "Xpos", 40), 6);
  EXPECT_EQ(get_int(ini, "Ypos", 30), 7);
}

TEST_F(ProfileFile, LoneCarriageReturnsEndLines) {
  write_file_bytes(ini, "[Other]\rXpos=1\r[XR3300/R SystemUpdate Utility]\rXpos=7\rCurrentPath=/a b\r");
  EXPECT_EQ(get_int(ini, "Xpos"), 7);
  EXPECT_EQ(get_string(ini, "CurrentPath"), "/a b");
  ASSERT_EQ(profile_write_string(kSec, "ComPortNum", "3", ini.c_str()), 1);
  EXPECT_EQ(get_int(ini, "ComPortNum"), 3);
  EXPECT_EQ(get_int(ini, "Xpos"), 7);
  EXPECT_EQ(get_int(ini, "Xpos", 0, "Other"), 1);
}

TEST_F(ProfileFile, BinaryFileGivesDefaultsAndCanBeWritten) {
  std::string junk;
  unsigned seed = 12345;
  for (int i = 0; i < 20000; ++i) {
    seed = seed * 1103515245u + 12345u;
    char c = static_cast<char>((seed >> 16) & 0xFF);
    if (c == '[' || c == '=') c = '.';  // no accidental section or key
    junk += c;
  }
  write_file_bytes(ini, junk);
  EXPECT_EQ(get_int(ini, "Xpos", 40), 40);
  EXPECT_EQ(get_string(ini, "CurrentPath"), "");
  ASSERT_EQ(profile_write_string(kSec, "Xpos", "11", ini.c_str()), 1);
  EXPECT_EQ(get_int(ini, "Xpos", 40), 11);
}

}  // namespace
