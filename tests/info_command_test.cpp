// `--info FILE...`: one line per file and an exit status that says whether all passed.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "support/host.h"
#include "ui/info_command.h"

namespace fs = std::filesystem;

namespace {

struct InfoRun {
  int status;
  std::string output;
};

InfoRun run_info(const TempDir& dir, const std::vector<std::string>& paths) {
  std::vector<const char*> argv;
  for (const auto& p : paths) argv.push_back(p.c_str());
  const std::string out_path = dir.file("info-output.txt");
  std::FILE* out = std::fopen(out_path.c_str(), "wb");
  EXPECT_NE(out, nullptr);
  InfoRun run{};
  run.status = run_info_command(static_cast<int>(argv.size()), argv.data(), out);
  std::fclose(out);
  run.output = read_file_bytes(out_path);
  return run;
}

}  // namespace

TEST(InfoCommand, GoodFilesGiveTypeVersionSizeAndPackets) {
  TempDir dir;
  write_file_bytes(dir.file("sys.sys"), make_update_image(0, 1, 5));
  write_file_bytes(dir.file("pcm.pcm"), make_update_image(1, 2, 10, true));
  write_file_bytes(dir.file("usr.usr"), make_update_image(2, 0, 0));
  write_file_bytes(dir.file("all.b_1"), make_update_image(3, 255, 99));
  const InfoRun run = run_info(dir, {"sys.sys", "pcm.pcm", "usr.usr", "all.b_1"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output,
            "sys.sys: Type=SYSTEM, Version=1.05, Size=262144 bytes, Packets=32\n"
            "pcm.pcm: Type=PCM, Version=2.10, Size=393216 bytes, Packets=48\n"
            "usr.usr: Type=USER, Version=0.00, Size=393216 bytes, Packets=48\n"
            "all.b_1: Type=ALL, Version=255.99, Size=1048576 bytes, Packets=128\n");
}

TEST(InfoCommand, BadFilesGiveTheCheckMessageAndStatusOne) {
  TempDir dir;
  std::string image = make_update_image(0, 1, 0);
  image[6] = 0;
  write_file_bytes(dir.file("product.sys"), image);
  image = make_update_image(0, 1, 0);
  image[7] = 4;
  write_file_bytes(dir.file("attr.sys"), image);
  image = make_update_image(0, 1, 0);
  image.pop_back();
  write_file_bytes(dir.file("short.sys"), image);
  write_file_bytes(dir.file("empty.sys"), "");
  write_file_bytes(dir.file("noid.sys"), std::string(4096, 'n'));
  fs::create_directory(dir.file("folder.sys"));
  const InfoRun run = run_info(
      dir, {"product.sys", "attr.sys", "short.sys", "empty.sys", "noid.sys", "missing.sys", "folder.sys"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output,
            "product.sys: Illegal Product_ID\n"
            "attr.sys: Illegal Attr_Code\n"
            "short.sys: Illegal File Size(total)\n"
            "empty.sys: Illegal File Size(Read -0x80f)\n"
            "noid.sys: Illegal File_ID\n"
            "missing.sys: File Open Error\n"
            "folder.sys: File Open Error\n");
}

TEST(InfoCommand, OneBadFileAmongGoodOnesFailsTheRun) {
  TempDir dir;
  write_file_bytes(dir.file("a.sys"), make_update_image(0, 1, 0));
  write_file_bytes(dir.file("b.sys"), "PELD");
  const InfoRun run = run_info(dir, {"a.sys", "b.sys", "a.sys"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output,
            "a.sys: Type=SYSTEM, Version=1.00, Size=262144 bytes, Packets=32\n"
            "b.sys: Illegal Product_ID\n"
            "a.sys: Type=SYSTEM, Version=1.00, Size=262144 bytes, Packets=32\n");
}

TEST(InfoCommand, PathIsPrintedAsTextNotAsAFormat) {
  TempDir dir;
  const std::string name = "100%s%n%d.sys";
  write_file_bytes(dir.file(name), make_update_image(2, 3, 4));
  const InfoRun run = run_info(dir, {name});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, name + ": Type=USER, Version=3.04, Size=393216 bytes, Packets=48\n");
}

TEST(InfoCommand, LeavesTheFilesFree) {
  TempDir dir;
  write_file_bytes(dir.file("a.sys"), make_update_image(0, 1, 0));
  const InfoRun run = run_info(dir, {"a.sys"});
  EXPECT_EQ(run.status, 0);
  // The handle was closed: the file can be held again and removed.
  EXPECT_TRUE(fs::remove(dir.file("a.sys")));
}

namespace {

int g_posted = 0;
void count_post(WindowHandle, int, intptr_t) { ++g_posted; }

}  // namespace

// The check is used by a command whose transfers still need their sinks after it.
TEST(InfoCommand, TheCheckPutsBackTheSinksItFound) {
  TempDir dir;
  write_file_bytes(dir.file("bad.sys"), std::string(100, 'A'));
  HostSinks sinks = {};
  sinks.post_command = count_post;
  host_install(sinks);
  char refusal[256];
  EXPECT_EQ(open_checked_update_file(dir.file("bad.sys").c_str(), refusal, sizeof refusal), kInvalidFile);
  EXPECT_STRNE(refusal, "");
  g_posted = 0;
  post_command(nullptr, 1, 0);
  host_reset();
  EXPECT_EQ(g_posted, 1);
}
