// The copy follows the page's language, which the page takes from the browser's.
#include "support/strings.h"

extern "C" int xr_user_language();  // support/strings_web.js: 1 Japanese, 0 English

int load_string(int id, char* out, int size) {
  return copy_string_text(string_table_text(id, xr_user_language()), out, size);
}
