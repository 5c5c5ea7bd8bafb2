// Linux keeps the device paths behind COM1 to COM4 in the settings file as
// "Com1Device" to "Com4Device". They are written after the common keys, so a
// file the program saves shows them for the user to edit.
#include <cstdio>
#include <cstring>

#include "support/profile.h"
#include "support/settings.h"

namespace {

void device_key(int index, char* key, int size) {
  std::snprintf(key, static_cast<size_t>(size), "Com%dDevice", index + 1);
}

bool is_profile_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a'; }

// The reader drops blanks around a value and one pair of matching quotes: a
// path that would lose either is written in quotes, so that it reads back as
// it was. 0 when the quoted path does not fit.
int stored_form(const char* path, char* out, int size) {
  const size_t length = std::strlen(path);
  const bool blank_edge = length > 0 && (is_profile_blank(path[0]) || is_profile_blank(path[length - 1]));
  const bool quoted = length >= 2 && (path[0] == '"' || path[0] == '\'') && path[length - 1] == path[0];
  const int written = (blank_edge || quoted) ? std::snprintf(out, static_cast<size_t>(size), "\"%s\"", path)
                                             : std::snprintf(out, static_cast<size_t>(size), "%s", path);
  return written >= 0 && written < size ? 1 : 0;
}

}  // namespace

void get_initial_platform(const char* section) {
  for (int i = 0; i < 4; ++i) {
    char key[16];
    device_key(i, key, sizeof key);
    char path[kComDevicePathSize];
    if (profile_get_string(section, key, path, sizeof path, inifile) > 0)
      std::snprintf(com_device_path[i], sizeof com_device_path[i], "%s", path);
  }
}

void set_initial_platform(const char* section) {
  for (int i = 0; i < 4; ++i) {
    char key[16];
    device_key(i, key, sizeof key);
    char stored[kComDevicePathSize + 2];
    // A path that cannot be stored leaves the key as it is.
    if (stored_form(com_device_path[i], stored, sizeof stored))
      profile_write_string(section, key, stored, inifile);
  }
}
