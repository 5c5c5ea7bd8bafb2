// The program's string resources, in the copy the platform picks for the user's
// language; without a resource for the id, the built-in English text.
#include <windows.h>

#include "support/strings.h"

int load_string(int id, char* out, int size) {
  if (out == nullptr || size <= 0) return 0;
  out[0] = '\0';
  const int length = LoadStringA(GetModuleHandleA(nullptr), static_cast<UINT>(id), out, size);
  if (length > 0) return length;
  return copy_string_text(string_table_text(id, 0), out, size);
}
