// The settings in the browser: one localStorage item per key, named
// "SECTION/KEY" ("XR3300/R SystemUpdate Utility/ComPortNum"), holding the text
// that the settings file would hold after "KEY=". They are read as that file is
// read: blanks around a value are dropped, and a value in matching quotes loses
// them. There is one store per site, so the file's path plays no part.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/profile.h"

extern "C" {
// support/profile_web.js
int xr_storage_get(const char* key, char* out, int size);
int xr_storage_set(const char* key, const char* value);
}

namespace {

// A value longer than any the program writes is not one of its values.
constexpr int kValueRoom = 4096;

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a'; }

std::string item_name(const char* section, const char* key) { return std::string(section) + "/" + key; }

// The key's value as the file's reader gives it; false when it is not stored.
bool lookup(const char* section, const char* key, std::string* value) {
  value->clear();
  if (section == nullptr || key == nullptr) return false;
  char text[kValueRoom];
  const int length = xr_storage_get(item_name(section, key).c_str(), text, sizeof text);
  if (length < 0 || length >= kValueRoom) return false;
  const char* begin = text;
  const char* end = text + length;
  while (begin < end && is_blank(*begin)) ++begin;
  while (end > begin && is_blank(end[-1])) --end;
  if (end - begin >= 2 && (*begin == '"' || *begin == '\'') && end[-1] == *begin) {
    ++begin;
    --end;
  }
  value->assign(begin, end);
  return true;
}

}  // namespace

// The number at the start of the value, in decimal; no number gives 0.
int profile_get_int(const char* section, const char* key, int default_value, const char*) {
  std::string value;
  if (!lookup(section, key, &value)) return default_value;
  const long long read = std::strtoll(value.c_str(), nullptr, 10);
  if (read > 0x7fffffffLL) return 0x7fffffff;
  if (read < -0x7fffffffLL - 1) return -0x7fffffff - 1;
  return static_cast<int>(read);
}

int profile_get_string(const char* section, const char* key, char* out, int size, const char*) {
  if (out == nullptr || size <= 0) return 0;
  std::string value;
  lookup(section, key, &value);
  const size_t length = value.size() < static_cast<size_t>(size) ? value.size() : static_cast<size_t>(size) - 1;
  std::memcpy(out, value.data(), length);
  out[length] = '\0';
  return static_cast<int>(length);
}

int profile_write_string(const char* section, const char* key, const char* value, const char*) {
  if (section == nullptr || key == nullptr || value == nullptr) return 0;
  return xr_storage_set(item_name(section, key).c_str(), value) ? 1 : 0;
}

int profile_write_strings(const char* section, const std::vector<ProfileEntry>& entries, const char* file,
                          std::vector<std::string>* unwritten, int* write_error) {
  if (write_error != nullptr) *write_error = 0;  // the platform tells no reason
  int unsaved = 0;
  for (const ProfileEntry& entry : entries) {
    if (profile_write_string(section, entry.key.c_str(), entry.value.c_str(), file)) continue;
    ++unsaved;
    if (unwritten != nullptr) unwritten->push_back(entry.key);
  }
  return unsaved;
}
