// The support log in the browser: the same bytes as the file (CR LF, every entry
// whole) kept in memory, and after every entry handed to the page, which keeps
// it in the browser's storage and shows it. A run the user left or reloaded
// keeps its log: the next start goes on after it, as the file would.
#include <cstdio>
#include <cstdlib>

#include "support/support_log.h"
#include "support/support_log_web.h"

extern "C" {
// support/support_log_web.js
char* xr_log_kept();
void xr_log_store(const char* data, int size);
}

namespace {

char* g_buf = nullptr;
size_t g_size = 0;
size_t g_committed = 0;  // the bytes of the entries written whole

}  // namespace

// Called after the stream was flushed: the buffer then holds everything written.
void log_commit(FILE*) {
  if (g_buf == nullptr) return;
  g_committed = g_size;
  xr_log_store(g_buf, static_cast<int>(g_size));
}

int log_web_size() { return g_buf != nullptr ? static_cast<int>(g_committed) : 0; }
const char* log_web_bytes() { return g_buf != nullptr ? g_buf : ""; }

FILE* log_open_stream(const char*) {
  FILE* stream = open_memstream(&g_buf, &g_size);
  if (stream == nullptr) return nullptr;
  if (char* kept = xr_log_kept()) {
    std::fputs(kept, stream);
    std::free(kept);
  }
  return stream;
}

// A browser gives no Windows version record: the banner says "Unknown Windows Version".
int platform_version_info(unsigned*, unsigned*, unsigned*, char*, int) { return 0; }
