#include <unistd.h>

#include "support/current_dir.h"

int set_current_dir(const char* path) { return ::chdir(path) == 0 ? 1 : 0; }

int get_current_dir(char* out, int size) {
  if (size <= 0) return 0;
  if (::getcwd(out, static_cast<size_t>(size)) == nullptr) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}
