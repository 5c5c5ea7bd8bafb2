#include "ui/command_line.h"

#include <cctype>
#include <cstring>

// Whether an argument that begins with "/" may name a file (on Linux it is an
// absolute path; on Windows it is always a switch). One OS file each.
extern const bool kSlashArgumentMayBePath;

void analyze_cmdline(CmdLine* record, int argc, const char* const* argv) {
  record->path[0] = '\0';
  record->no_foreground = 0;
  record->refused_too_long = 0;
  char resolved[kCmdPathSize];
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] == '/' && !(kSlashArgumentMayBePath && resolve_path_argument(argument, resolved) > 0)) {
      if (std::tolower(static_cast<unsigned char>(argument[1])) == 'h') record->no_foreground = 1;
      continue;
    }
    // The last argument that names an existing file wins; others are dropped.
    const int result = resolve_path_argument(argument, resolved);
    if (result > 0) std::memcpy(record->path, resolved, kCmdPathSize);
    if (result == kResolveTooLong) record->refused_too_long = 1;
  }
}
