#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/settings.h"
#include "support/strings.h"

namespace {

TEST(StringTable, EnglishTexts) {
  EXPECT_STREQ(string_table_text(1001, 0),
               "The MIDI output device selected in configuration dialog was not found.\n"
               "Please select another MIDI output device.");
  EXPECT_STREQ(string_table_text(1002, 0),
               "The MIDI input device selected in configuration dialog was not found.\n"
               "Please select another MIDI input device.");
  EXPECT_STREQ(string_table_text(1003, 0),
               "Failed to change current directory that was used before.\n"
               "(The application will still operate correctly.)");
}

TEST(StringTable, JapaneseTexts) {
  EXPECT_STREQ(string_table_text(1003, 1),
               "前回起動時のディレクトリへの\n移動に失敗しました。\nディレクトリ移動を行いません。");
  for (int id : {1001, 1002}) {
    const std::string text = string_table_text(id, 1);
    EXPECT_EQ(text.find('\\'), std::string::npos);
    EXPECT_NE(text.find("削除された可能性が\nあります。"), std::string::npos) << text;
    EXPECT_EQ(text.compare(0, std::strlen("設定ファイルで指定された"), "設定ファイルで指定された"), 0);
  }
  EXPECT_NE(std::string(string_table_text(1001, 1)).find("出力デバイスを再度選択して下さい。"),
            std::string::npos);
  EXPECT_NE(std::string(string_table_text(1002, 1)).find("入力デバイスを再度選択して下さい。"),
            std::string::npos);
}

TEST(StringTable, UnknownIdHasNoText) {
  EXPECT_EQ(string_table_text(999, 0), nullptr);
  char out[16] = "junk";
  EXPECT_EQ(load_string(999, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
}

TEST(StringTable, LoadedTextIsOneOfTheCopies) {
  for (int id : {IDS_MIDI_OUT_NOT_FOUND, IDS_MIDI_IN_NOT_FOUND, IDS_CHDIR_FAILED}) {
    char out[512];
    const int length = load_string(id, out, sizeof out);
    EXPECT_EQ(length, static_cast<int>(std::strlen(out)));
    EXPECT_TRUE(std::strcmp(out, string_table_text(id, 0)) == 0 ||
                std::strcmp(out, string_table_text(id, 1)) == 0)
        << out;
  }
}

TEST(StringTable, CopyIsCutToTheBufferWithoutSplittingACharacter) {
  char out[8];
  EXPECT_EQ(copy_string_text("abcdefghij", out, sizeof out), 7);
  EXPECT_STREQ(out, "abcdefg");
  // "前回" is six bytes in UTF-8: five bytes of room keep only the first character.
  char small[6];
  EXPECT_EQ(copy_string_text("前回", small, sizeof small), 3);
  EXPECT_STREQ(small, "前");
  EXPECT_EQ(copy_string_text(nullptr, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(copy_string_text("x", out, 0), 0);
}

}  // namespace
