// The copy follows the locale's language: LC_ALL, else LC_MESSAGES, else LANG;
// a language beginning with "ja" gets the Japanese copy.
#include <cstdlib>
#include <cstring>

#include "support/strings.h"

namespace {

int user_language() {
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return std::strncmp(value, "ja", 2) == 0 ? 1 : 0;
  }
  return 0;
}

}  // namespace

int load_string(int id, char* out, int size) {
  return copy_string_text(string_table_text(id, user_language()), out, size);
}
