// Resolving command-line paths on Windows: every component as the disk spells it,
// relative paths made absolute, unusable arguments refused.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"
#include "ui/command_line.h"

namespace {

std::string current_dir() {
  char buffer[MAX_PATH];
  GetCurrentDirectoryA(sizeof buffer, buffer);
  return buffer;
}


}  // namespace

TEST(CommandLineResolve, RelativeNameBecomesTheFullPathAsStored) {
  TempDir dir;
  CreateDirectoryA("Updates", nullptr);
  write_file_bytes(dir.file("Updates\\System.SYS"), "x");
  char out[kCmdPathSize];
  ASSERT_EQ(resolve_path_argument("updates\\system.sys", out), 1);
  EXPECT_EQ(std::string(out), current_dir() + "\\Updates\\System.SYS");
}

TEST(CommandLineResolve, DrivePathIsWalkedFolderByFolder) {
  TempDir dir;
  CreateDirectoryA("Deep", nullptr);
  write_file_bytes(dir.file("Deep\\File.Pcm"), "x");
  const std::string full = current_dir() + "\\deep\\FILE.PCM";
  char out[kCmdPathSize];
  ASSERT_EQ(resolve_path_argument(full.c_str(), out), 1);
  EXPECT_EQ(std::string(out), current_dir() + "\\Deep\\File.Pcm");
}

TEST(CommandLineResolve, WildcardTakesAMatchingFile) {
  TempDir dir;
  write_file_bytes(dir.file("only.sys"), "x");
  char out[kCmdPathSize];
  ASSERT_EQ(resolve_path_argument("*.sys", out), 1);
  EXPECT_EQ(std::string(out), current_dir() + "\\only.sys");
}

TEST(CommandLineResolve, MissingNetworkAndOverlongArgumentsAreRefused) {
  TempDir dir;
  char out[kCmdPathSize];
  std::memset(out, 'z', sizeof out);
  EXPECT_EQ(resolve_path_argument("no-such-file.sys", out), 0);
  EXPECT_EQ(resolve_path_argument("C:\\no\\such\\file.sys", out), 0);
  EXPECT_EQ(resolve_path_argument("\\\\server\\share\\file.sys", out), 0);
  EXPECT_EQ(resolve_path_argument("", out), 0);
  const std::string long_name(300, 'a');
  EXPECT_EQ(resolve_path_argument(long_name.c_str(), out), kResolveTooLong);
  const std::string just_too_long(260, 'a');
  EXPECT_EQ(resolve_path_argument(just_too_long.c_str(), out), kResolveTooLong);
  EXPECT_EQ(out[0], 'z');
}

// Windows takes "/" as a separator: a path written with it names the same file
// as with "\", never a file of the same name in another folder.
TEST(CommandLineResolve, SlashSeparatesComponentsAsBackslashDoes) {
  TempDir dir;
  CreateDirectoryA("Sub", nullptr);
  write_file_bytes(dir.file("Sub\\f.sys"), "inner");
  write_file_bytes(dir.file("f.sys"), "outer");
  const std::string inner = current_dir() + "\\Sub\\f.sys";
  char out[kCmdPathSize];
  ASSERT_EQ(resolve_path_argument("sub/f.sys", out), 1);
  EXPECT_EQ(std::string(out), inner);
  std::string drive_path = current_dir() + "/sub/F.SYS";
  for (char& c : drive_path) c = c == '\\' ? '/' : c;
  ASSERT_EQ(resolve_path_argument(drive_path.c_str(), out), 1);
  EXPECT_EQ(std::string(out), inner);
  // Rooted on the current drive, without the drive letter.
  const std::string rooted = drive_path.substr(2);
  ASSERT_EQ(resolve_path_argument(rooted.c_str(), out), 1);
  EXPECT_EQ(std::string(out), inner);
  ASSERT_EQ(resolve_path_argument("Sub\\nothing/../f.sys", out), 0);
}

// "C:f.sys" lies in drive C's current folder: the drive stays in the path.
TEST(CommandLineResolve, DriveRelativePathKeepsItsDrive) {
  TempDir dir;
  CreateDirectoryA("Sub", nullptr);
  write_file_bytes(dir.file("Sub\\g.sys"), "x");
  const std::string drive = current_dir().substr(0, 2);
  const std::string argument = drive + "sub/g.sys";
  char out[kCmdPathSize];
  ASSERT_EQ(resolve_path_argument(argument.c_str(), out), 1);
  EXPECT_EQ(std::string(out), current_dir() + "\\Sub\\g.sys");
}

// An argument too long to use whole is refused as such, so that the program can
// say why; it is never cut to a shorter path that may name another file.
TEST(CommandLineResolve, OverlongPathIsReportedAsTooLong) {
  TempDir dir;
  char out[kCmdPathSize];
  const std::string long_name(300, 'a');
  EXPECT_EQ(resolve_path_argument(long_name.c_str(), out), kResolveTooLong);
  const char* argv[] = {"xrupdate.exe", long_name.c_str(), "/h"};
  CmdLine record;
  analyze_cmdline(&record, 3, argv);
  EXPECT_EQ(record.refused_too_long, 1);
  EXPECT_EQ(record.path[0], '\0');
  const char* fine[] = {"xrupdate.exe", "no-such.sys"};
  analyze_cmdline(&record, 2, fine);
  EXPECT_EQ(record.refused_too_long, 0);
}
