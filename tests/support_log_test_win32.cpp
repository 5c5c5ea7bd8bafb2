// The operating-system text on Windows, from the platform's version record.

#include <gtest/gtest.h>

#include <string>

#include "support/support_log.h"

TEST(WinVersionTextWin32, WindowsGivesAnNtVersion) {
  unsigned platform = 0, major = 0, minor = 0;
  char csd[129] = {};
  ASSERT_EQ(platform_version_info(&platform, &major, &minor, csd, sizeof csd), 1);
  EXPECT_EQ(platform, 2u);  // every Windows that runs this build is NT
  const std::string text = get_win_ver();
  EXPECT_EQ(text.rfind("Microsoft Windows ", 0), 0u) << text;
  EXPECT_EQ(text, std::string(text.substr(0, text.find('('))) + "(" + csd + ")");
}
