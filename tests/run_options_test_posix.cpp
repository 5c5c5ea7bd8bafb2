// The Linux command line's checks of options that cannot go together, made once
// the whole line is read: which one is told when several apply.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ui/run_options.h"

namespace {

struct Parsed {
  int status = -1;
  RunOptions options;
};

Parsed parse(std::vector<std::string> words) {
  words.insert(words.begin(), "xrupdate");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  Parsed parsed;
  FILE* err = std::fopen("/dev/null", "w");
  parsed.status = parse_run_options(static_cast<int>(words.size()), argv.data(), &parsed.options, err);
  std::fclose(err);
  return parsed;
}

TEST(RunOptionConflicts, AnOptionTheCommandRefusesIsToldBeforeTheLinkConflict) {
  const Parsed p = parse({"--list", "--port", "/dev/ttyS0", "--midi-out", "1"});
  EXPECT_EQ(p.status, 2);
  EXPECT_EQ(p.options.usage_error, "--port does not apply to --list");
}

TEST(RunOptionConflicts, TwoLinksAtOnceAreToldBeforeTheFileCount) {
  const Parsed p = parse({"--batch", "--port", "/dev/ttyS0", "--midi-in", "1"});
  EXPECT_EQ(p.status, 2);
  EXPECT_EQ(p.options.usage_error, "--port and --midi-out/--midi-in choose two links at once; give one");
}

TEST(RunOptionConflicts, SeveralPortsAreForFindAlone) {
  EXPECT_EQ(parse({"--query", "--port", "/dev/a", "--port", "/dev/b"}).options.usage_error,
            "--port is given more than once; only --find tries several");
  EXPECT_EQ(parse({"--find", "--port", "/dev/a", "--port", "/dev/b"}).status, 0);
}

TEST(RunOptionConflicts, TheFileCountIsCheckedLast) {
  EXPECT_EQ(parse({"--emit-syx", "a.bin"}).options.usage_error, "--emit-syx needs FILE and OUT");
  EXPECT_EQ(parse({"--list", "a.bin"}).options.usage_error, "--list takes no file; \"a.bin\" is one too many");
}

TEST(RunOptionConflicts, AnErrorWhileReadingWinsOverTheChecksAndHelpWinsOverAll) {
  EXPECT_EQ(parse({"--list", "--rate", "7", "--port", "/dev/a"}).options.usage_error,
            "--rate takes 0, 1, 2 or 3, not 7");
  const Parsed help = parse({"--list", "--batch", "--port", "/dev/a", "-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.options.command, kRunHelp);
}

}  // namespace
