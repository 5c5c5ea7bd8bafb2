#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>

#include "ui/command_line.h"

extern const bool kSlashArgumentMayBePath = true;

int resolve_path_argument(const char* argument, char* out) {
  if (argument[0] == '\0') return 0;
  char full[PATH_MAX];
  if (realpath(argument, full) == nullptr) return 0;
  struct stat st;
  if (stat(full, &st) != 0 || S_ISDIR(st.st_mode)) return 0;
  // A path that does not fit is refused rather than cut short.
  if (std::strlen(full) >= static_cast<size_t>(kCmdPathSize)) return 0;
  std::memcpy(out, full, std::strlen(full) + 1);
  return 1;
}
