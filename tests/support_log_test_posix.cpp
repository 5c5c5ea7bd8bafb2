// The operating-system text on Linux, which has no Windows version record.

#include <gtest/gtest.h>

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
