// The operating-system text on Linux, which has no Windows version record.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
