// The operating-system text on Linux, which has no Windows version record.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/support_log.h"
#include "tests/test_support.h"

TEST(WinVersionTextPosix, LinuxIsAnUnknownWindowsVersion) {
  EXPECT_STREQ(get_win_ver(), "Unknown Windows Version");
  unsigned platform = 7, major = 7, minor = 7;
  char csd[16] = "unchanged";
  EXPECT_EQ(platform_version_info(&platform, &major, &minor, csd, sizeof csd), 0);
}

TEST(SupportLogPosix, BannerNamesAnUnknownWindowsVersion) {
  close_log();
  TempDir dir;
  ASSERT_EQ(open_log(), 1);
  close_log();
  EXPECT_EQ(read_file_bytes("vup_log.txt"),
            "\r\n****************\r\n** XR3300/R SystemUpdate Utility v1.3 started on Unknown "
            "Windows Version\r\n****************\r\n");
}

// The start folder may be shared with other users: a vup_log.txt link that
// another user placed there is not followed, and the program runs without a
// log (as with any log that cannot be opened) rather than append to the file
// the link names.
TEST(SupportLogPosix, LinkAnotherUserPlantedIsNotFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  close_log();
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string victim = dir.file("victim");
  write_file_bytes(victim, "precious");
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  const pid_t pid = ::fork();
  if (pid == 0)
    ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && ::symlink(victim.c_str(), "vup_log.txt") == 0 ? 0 : 1);
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(open_log(), 0);
  write_log("Sent packet %d of %d...", 1, 2);
  close_log();
  EXPECT_EQ(read_file_bytes(victim), "precious");
  // The user's own file there is the log, as before.
  ASSERT_EQ(::unlink("vup_log.txt"), 0);
  ASSERT_EQ(open_log(), 1);
  close_log();
  EXPECT_NE(read_file_bytes("vup_log.txt").find("** XR3300/R SystemUpdate Utility v1.3 started"), std::string::npos);
}

namespace {

// Runs body as the user "nobody" in a child process; its exit status.
int as_nobody(void (*body)(const std::string&), const std::string& arg) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(99);
    body(arg);
    ::_exit(0);
  }
  int status = -1;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool log_opens_and_lands_in(const std::string& file) {
  const std::string before = read_file_bytes(file);
  const int opened = open_log();
  write_log("Sent packet %d of %d...", 1, 2);
  close_log();
  return opened == 1 && read_file_bytes(file).size() > before.size();
}

}  // namespace

// The log is kept as test.dat is: only the user's own regular file with no
// other name, reached through no link but the user's own (or the folder
// owner's) in a folder nobody else can change. Anything else gives the
// start-up warning (open_log 0) and leaves every file as it was.
TEST(SupportLogPosix, OnlyTheUsersOwnFileThroughTheUsersOwnLinks) {
  close_log();
  TempDir dir;
  const std::string elsewhere = dir.file("kept/log.txt");
  ASSERT_EQ(::mkdir(dir.file("kept").c_str(), 0755), 0);
  write_file_bytes(elsewhere, "mine");

  // The user's own link in a folder only the user writes: followed.
  ASSERT_EQ(::symlink(elsewhere.c_str(), "vup_log.txt"), 0);
  EXPECT_TRUE(log_opens_and_lands_in(elsewhere));

  // The same link in a folder everyone may write (not sticky): another user
  // could have moved it there, so it is not followed.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  std::string kept = read_file_bytes(elsewhere);
  EXPECT_EQ(open_log(), 0);
  EXPECT_EQ(read_file_bytes(elsewhere), kept);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::unlink("vup_log.txt"), 0);

  // A second name of another file (a hard link): not appended to.
  ASSERT_EQ(::link(elsewhere.c_str(), "vup_log.txt"), 0);
  kept = read_file_bytes(elsewhere);
  EXPECT_EQ(open_log(), 0);
  EXPECT_EQ(read_file_bytes(elsewhere), kept);
  ASSERT_EQ(::unlink("vup_log.txt"), 0);

  if (::geteuid() != 0) GTEST_SKIP() << "the rest needs root to act as two users";
  // Another user's file in a shared folder: not appended to.
  ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
  ASSERT_EQ(as_nobody([](const std::string&) {
              FILE* f = std::fopen("vup_log.txt", "wb");
              if (f == nullptr || std::fputs("theirs", f) < 0 || std::fclose(f) != 0) ::_exit(1);
            }, ""), 0);
  EXPECT_EQ(open_log(), 0);
  EXPECT_EQ(read_file_bytes("vup_log.txt"), "theirs");
  ASSERT_EQ(::unlink("vup_log.txt"), 0);
  // The user's own file there is the log.
  EXPECT_TRUE(log_opens_and_lands_in("vup_log.txt"));
}
