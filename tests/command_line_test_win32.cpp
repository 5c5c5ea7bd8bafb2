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
  EXPECT_EQ(resolve_path_argument(long_name.c_str(), out), 0);
  const std::string just_too_long(260, 'a');
  EXPECT_EQ(resolve_path_argument(just_too_long.c_str(), out), 0);
  EXPECT_EQ(out[0], 'z');
}
