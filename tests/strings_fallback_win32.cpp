// Without a string resource for an id, Windows shows the built-in English text.
#include <gtest/gtest.h>

#include <cstring>

#include "support/strings.h"

namespace {

TEST(StringResources, MissingResourceFallsBackToEnglish) {
  char out[512];
  // The test program carries no string table.
  EXPECT_EQ(load_string(1001, out, sizeof out), static_cast<int>(std::strlen(string_table_text(1001, 0))));
  EXPECT_STREQ(out, string_table_text(1001, 0));
  EXPECT_EQ(load_string(1003, out, 10), 9);
  EXPECT_EQ(std::strncmp(out, "Failed to", 9), 0);
}

}  // namespace
