// The terminal program's `xrupdate --info FILE...`, run as its own process.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/test_support.h"

namespace {

struct ProgramRun {
  int status;
  std::string output;
};

// Runs the built xrupdate with `args` (already quoted for the shell) in the current folder.
ProgramRun run_xrupdate(const std::string& args) {
  const std::string program = std::string(XR_BINARY_DIR) + "/xrupdate";
  const std::string command = "'" + program + "' " + args + " 2>&1";
  ProgramRun run{-1, {}};
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buf[512];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, pipe)) > 0) run.output.append(buf, got);
  const int raw = ::pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

}  // namespace

TEST(InfoProgram, InfoOnGoodAndBadFiles) {
  if (!std::filesystem::exists(std::string(XR_BINARY_DIR) + "/xrupdate")) GTEST_SKIP() << "no xrupdate built";
  TempDir dir;
  write_file_bytes(dir.file("good.sys"), make_update_image(0, 1, 5));
  write_file_bytes(dir.file("bad.pcm"), std::string(100, 'b'));

  ProgramRun run = run_xrupdate("--info good.sys");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "good.sys: Type=SYSTEM, Version=1.05, Size=262144 bytes, Packets=32\n");

  run = run_xrupdate("--info good.sys bad.pcm");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output,
            "good.sys: Type=SYSTEM, Version=1.05, Size=262144 bytes, Packets=32\n"
            "bad.pcm: Illegal File Size(Read -0x80f)\n");
}

TEST(InfoProgram, UsageErrorsAndHelp) {
  if (!std::filesystem::exists(std::string(XR_BINARY_DIR) + "/xrupdate")) GTEST_SKIP() << "no xrupdate built";
  TempDir dir;
  ProgramRun run = run_xrupdate("--info");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("--info needs at least one file"), std::string::npos) << run.output;

  run = run_xrupdate("--version");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "XR3300/R SystemUpdate Utility v1.3\n");

  run = run_xrupdate("--help");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("--info FILE..."), std::string::npos);
}
