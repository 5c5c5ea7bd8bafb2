// A page has no working folder: there is none to read (the saved "CurrentPath"
// is empty) and none to change to.
#include "support/current_dir.h"

int set_current_dir(const char*) { return 0; }

int get_current_dir(char* out, int size) {
  if (size > 0) out[0] = '\0';
  return 0;
}
