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

const char* com_port_device(int port_number) {
  return port_number >= 1 && port_number <= 4 ? com_device_path[port_number - 1] : "";
}

void set_initial_platform(std::vector<ProfileEntry>* save) {
  for (int i = 0; i < 4; ++i) {
    char key[16];
    device_key(i, key, sizeof key);
    char stored[kComDevicePathSize + 2];
    // A path that cannot be stored leaves the key as it is.
    if (quoted_for_reading(com_device_path[i], stored, sizeof stored)) save->push_back(ProfileEntry{key, stored});
  }
}
