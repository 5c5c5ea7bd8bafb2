#include "support/strings.h"

#include <cstring>

namespace {

struct StringEntry {
  int id;
  const char* english;
  const char* japanese;  // UTF-8
};

constexpr StringEntry kStrings[] = {
    {1001,
      "The MIDI output device selected in configuration dialog was not found.\n"
      "Please select another MIDI output device.",
      "設定ファイルで指定された出力デバイス名が\n"
      "見つかりません。設定ファイルが不正に変更\n"
      "されたか該当デバイスが削除された可能性が\n"
      "あります。出力デバイスを再度選択して下さい。"},
    {1002,
      "The MIDI input device selected in configuration dialog was not found.\n"
      "Please select another MIDI input device.",
      "設定ファイルで指定された入力デバイス名が\n"
      "見つかりません。設定ファイルが不正に変更\n"
      "されたか該当デバイスが削除された可能性が\n"
      "あります。入力デバイスを再度選択して下さい。"},
    {1003,
      "Failed to change current directory that was used before.\n"
      "(The application will still operate correctly.)",
      "前回起動時のディレクトリへの\n"
      "移動に失敗しました。\n"
      "ディレクトリ移動を行いません。"},
};

}  // namespace

const char* string_table_text(int id, int language) {
  for (const StringEntry& entry : kStrings) {
    if (entry.id == id) return language == 1 ? entry.japanese : entry.english;
  }
  return nullptr;
}

int copy_string_text(const char* text, char* out, int size) {
  if (out == nullptr || size <= 0) return 0;
  out[0] = '\0';
  if (text == nullptr) return 0;
  size_t length = std::strlen(text);
  const size_t room = static_cast<size_t>(size) - 1;
  if (length > room) {
    length = room;
    // Never cut a UTF-8 character in two: drop its lead and continuation bytes.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(out, text, length);
  out[length] = '\0';
  return static_cast<int>(length);
}
