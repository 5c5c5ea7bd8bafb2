#include <windows.h>

#include "support/current_dir.h"

int set_current_dir(const char* path) { return SetCurrentDirectoryA(path) ? 1 : 0; }

int get_current_dir(char* out, int size) {
  if (size <= 0) return 0;
  out[0] = '\0';
  // The length without the terminator when it fits; the size needed otherwise.
  const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(size), out);
  if (length == 0 || length >= static_cast<DWORD>(size)) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}
