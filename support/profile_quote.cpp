// The quoting of a value that the private-profile reader would change, on
// every platform: Windows and the Linux reader drop the same blanks and quotes.
#include <cstdio>
#include <cstring>

#include "support/profile.h"

namespace {

// Blanks as Windows counts them: space, tab to carriage return, and ^Z.
bool is_profile_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a'; }

}  // namespace

int quoted_for_reading(const char* value, char* out, int size) {
  const size_t length = std::strlen(value);
  const bool blank_edge = length > 0 && (is_profile_blank(value[0]) || is_profile_blank(value[length - 1]));
  const bool quoted = length >= 2 && (value[0] == '"' || value[0] == '\'') && value[length - 1] == value[0];
  const int written = (blank_edge || quoted) ? std::snprintf(out, static_cast<size_t>(size), "\"%s\"", value)
                                             : std::snprintf(out, static_cast<size_t>(size), "%s", value);
  return written >= 0 && written < size ? 1 : 0;
}
