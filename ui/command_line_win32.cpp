// Resolving a command-line path on Windows: each component is looked up with
// FindFirstFileA, so the result is spelled as the file system stores it (long
// names for 8.3 names, the disk's letter case, the first match of a wildcard),
// then made absolute with GetFullPathNameA.

#include <windows.h>

#include <cstring>

#include "ui/command_line.h"

// An argument that begins with "/" is always a switch here.
extern const bool kSlashArgumentMayBePath = false;

namespace {

// Appends `text` to `out` (kCmdPathSize bytes); 0 when it does not fit.
int append(char* out, const char* text) {
  const std::size_t have = std::strlen(out);
  const std::size_t add = std::strlen(text);
  if (have + add >= static_cast<std::size_t>(kCmdPathSize)) return 0;
  std::memcpy(out + have, text, add + 1);
  return 1;
}

// The next "\" at or after `from`, or null. Walks whole characters: in a
// double-byte code page (Japanese) the second byte of a character may be "\".
char* next_separator(char* from) {
  for (char* c = from; *c != '\0'; c = CharNextA(c)) {
    if (*c == '\\') return c;
  }
  return nullptr;
}

// Windows takes "/" as a separator as "\" is: one spelling for the walk below,
// so that "sub/f.sys" names sub\f.sys and never an f.sys elsewhere.
void unify_separators(char* path) {
  for (char* c = path; *c != '\0'; c = CharNextA(c)) {
    if (*c == '/') *c = '\\';
  }
}

// The length in bytes of the full path that `path` names, in the ANSI code
// page; 0 when it cannot be formed. The wide call gives it for any length
// (the ANSI one fails instead beyond MAX_PATH on some systems).
int full_path_bytes(const char* path) {
  wchar_t wide[kCmdPathSize];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kCmdPathSize) == 0) return 0;
  static wchar_t full[32768];
  const DWORD length = GetFullPathNameW(wide, sizeof full / sizeof full[0], full, nullptr);
  if (length == 0 || length >= sizeof full / sizeof full[0]) return length == 0 ? 0 : 32768;
  const int bytes = WideCharToMultiByte(CP_ACP, 0, full, -1, nullptr, 0, nullptr, nullptr);
  return bytes > 0 ? bytes - 1 : 0;
}

}  // namespace

int resolve_path_argument(const char* argument, char* out) {
  char a[kCmdPathSize];
  char b[kCmdPathSize];
  const std::size_t length = std::strlen(argument);
  if (length == 0) return 0;
  if (length >= static_cast<std::size_t>(kCmdPathSize)) return kResolveTooLong;
  std::memcpy(a, argument, length + 1);
  unify_separators(a);
  b[0] = '\0';
  // The full path's length first, whatever the spelling (relative, drive-
  // relative, "/"): a short name in a deep folder is refused as too long with
  // its message, never dropped because the search below cannot reach it.
  if (full_path_bytes(a) >= kCmdPathSize) return kResolveTooLong;

  // Where the first component ends; what comes before it is kept as it is.
  char* end;
  if (a[0] == '\\') {
    std::memcpy(b, "\\", 2);
    end = next_separator(a + 1);
  } else if (length >= 3 && a[1] == ':' && a[2] == '\\') {
    std::memcpy(b, a, 3);
    b[3] = '\0';
    end = next_separator(a + 3);
  } else if (length >= 2 && a[1] == ':') {
    // "C:f.sys" lies in drive C's own current folder, not in this one.
    std::memcpy(b, a, 2);
    b[2] = '\0';
    end = next_separator(a + 2);
  } else {
    end = next_separator(a);
  }

  for (;;) {
    const bool last = end == nullptr;
    if (!last) *end = '\0';
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(a, &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    FindClose(search);
    found.cFileName[sizeof found.cFileName - 1] = '\0';
    if (!append(b, found.cFileName)) return kResolveTooLong;
    if (last) break;
    *end = '\\';
    if (!append(b, "\\")) return kResolveTooLong;
    end = next_separator(end + 1);
  }

  char full[kCmdPathSize];
  const DWORD written = GetFullPathNameA(b, kCmdPathSize, full, nullptr);
  if (written == 0) return 0;
  if (written >= static_cast<DWORD>(kCmdPathSize)) return kResolveTooLong;
  std::memcpy(out, full, std::strlen(full) + 1);
  return 1;
}
