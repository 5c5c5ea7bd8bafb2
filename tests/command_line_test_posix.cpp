// The command line on Linux: paths made absolute, the switch "/h".
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "ui/command_line.h"

namespace {

CmdLine parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv = {"xrupdate"};
  argv.insert(argv.end(), args.begin(), args.end());
  CmdLine record;
  std::memset(&record, 0x55, sizeof record);
  analyze_cmdline(&record, static_cast<int>(argv.size()), argv.data());
  return record;
}

TEST(CommandLine, RelativePathBecomesAbsolute) {
  TempDir dir;
  write_file_bytes(dir.file("a.sys"), "x");
  const CmdLine record = parse({"a.sys"});
  char real[4096];
  ASSERT_NE(realpath(dir.file("a.sys").c_str(), real), nullptr);
  EXPECT_STREQ(record.path, real);
  EXPECT_EQ(record.no_foreground, 0);
}

TEST(CommandLine, LastExistingArgumentWins) {
  TempDir dir;
  write_file_bytes(dir.file("a.sys"), "x");
  write_file_bytes(dir.file("b.sys"), "x");
  EXPECT_NE(std::string(parse({"a.sys", "missing.sys"}).path).find("a.sys"), std::string::npos);
  EXPECT_NE(std::string(parse({"a.sys", "b.sys"}).path).find("b.sys"), std::string::npos);
  EXPECT_STREQ(parse({"missing.sys"}).path, "");
  EXPECT_STREQ(parse({}).path, "");
}

TEST(CommandLine, SwitchH) {
  TempDir dir;
  EXPECT_EQ(parse({"/h"}).no_foreground, 1);
  EXPECT_EQ(parse({"/Hidden"}).no_foreground, 1);
  EXPECT_EQ(parse({"/x"}).no_foreground, 0);
  EXPECT_EQ(parse({"/"}).no_foreground, 0);
}

TEST(CommandLine, AbsolutePathIsAPathNotASwitch) {
  TempDir dir;
  write_file_bytes(dir.file("h.sys"), "x");
  const CmdLine record = parse({dir.file("h.sys").c_str()});
  EXPECT_EQ(record.no_foreground, 0);
  EXPECT_NE(std::string(record.path).find("h.sys"), std::string::npos);
}

TEST(CommandLine, FoldersAndOverlongPathsAreNotFiles) {
  TempDir dir;
  EXPECT_STREQ(parse({dir.path().c_str()}).path, "");
  std::string name(250, 'n');
  write_file_bytes(dir.file(name), "x");  // the full path is longer than 259 characters
  EXPECT_STREQ(parse({name.c_str()}).path, "");
}

}  // namespace
