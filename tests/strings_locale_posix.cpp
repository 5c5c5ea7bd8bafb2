// Linux picks the copy of the string table from the locale's language.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/strings.h"

namespace {

class StringLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i) {
      const char* value = std::getenv(kNames[i]);
      had_[i] = value != nullptr;
      saved_[i] = value ? value : "";
    }
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i) {
      if (!had_[i]) {
        ::unsetenv(kNames[i]);
      } else {
        ::setenv(kNames[i], saved_[i].c_str(), 1);
      }
    }
  }
  static void set(const char* lc_all, const char* lc_messages, const char* lang) {
    const char* values[] = {lc_all, lc_messages, lang};
    for (int i = 0; i < 3; ++i) {
      if (values[i]) {
        ::setenv(kNames[i], values[i], 1);
      } else {
        ::unsetenv(kNames[i]);
      }
    }
  }
  static std::string loaded(int id) {
    char out[512];
    load_string(id, out, sizeof out);
    return out;
  }

  static constexpr const char* kNames[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  bool had_[3] = {};
  std::string saved_[3];
};

TEST_F(StringLocale, JapaneseLocaleGetsTheJapaneseCopy) {
  set("ja_JP.UTF-8", nullptr, nullptr);
  EXPECT_EQ(loaded(1001), string_table_text(1001, 1));
  set(nullptr, "ja_JP.UTF-8", "en_US.UTF-8");
  EXPECT_EQ(loaded(1002), string_table_text(1002, 1));
  set("", "", "ja");
  EXPECT_EQ(loaded(1003), string_table_text(1003, 1));
}

TEST_F(StringLocale, OtherLocalesGetTheEnglishCopy) {
  set(nullptr, nullptr, nullptr);
  EXPECT_EQ(loaded(1001), string_table_text(1001, 0));
  set("C", nullptr, "ja_JP.UTF-8");  // LC_ALL decides first
  EXPECT_EQ(loaded(1001), string_table_text(1001, 0));
  set(nullptr, nullptr, "de_DE.UTF-8");
  EXPECT_EQ(loaded(1003), string_table_text(1003, 0));
}

TEST_F(StringLocale, JapaneseTextsFitTheMessageBuffer) {
  set("ja_JP.UTF-8", nullptr, nullptr);
  for (int id : {1001, 1002, 1003}) EXPECT_EQ(loaded(id), string_table_text(id, 1));
}

}  // namespace
