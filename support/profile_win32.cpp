#include <windows.h>

#include "support/profile.h"

int profile_get_int(const char* section, const char* key, int default_value, const char* file) {
  return static_cast<int>(GetPrivateProfileIntA(section, key, default_value, file));
}

int profile_get_string(const char* section, const char* key, char* out, int size, const char* file) {
  if (out == nullptr || size <= 0) return 0;
  out[0] = '\0';
  return static_cast<int>(
      GetPrivateProfileStringA(section, key, "", out, static_cast<DWORD>(size), file));
}

int profile_write_string(const char* section, const char* key, const char* value, const char* file) {
  return WritePrivateProfileStringA(section, key, value, file) ? 1 : 0;
}

int profile_write_strings(const char* section, const std::vector<ProfileEntry>& entries, const char* file,
                          std::vector<std::string>* unwritten, int* write_error) {
  if (write_error != nullptr) *write_error = 0;  // the platform tells no reason
  int count = 0;
  for (const ProfileEntry& entry : entries) {
    if (profile_write_string(section, entry.key.c_str(), entry.value.c_str(), file)) continue;
    ++count;
    if (unwritten != nullptr) unwritten->push_back(entry.key);
  }
  return count;
}
