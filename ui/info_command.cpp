#include "ui/info_command.h"

#include <cstring>

#include "engine/file_io.h"
#include "engine/update_file.h"
#include "support/host.h"

namespace {

char g_box_text[256];

int capture_box(WindowHandle, const char* text, const char*, unsigned) {
  std::snprintf(g_box_text, sizeof g_box_text, "%s", text ? text : "");
  return 1;
}

}  // namespace

int run_info_command(int count, const char* const* paths, FILE* out) {
  HostSinks sinks = {};
  sinks.message_box = capture_box;
  host_install(sinks);
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    const char* path = paths[i];
    const FileHandle file = file_open_exclusive(path);
    if (file == kInvalidFile) {
      std::fprintf(out, "%s: File Open Error\n", path);
      ++failures;
      continue;
    }
    g_box_text[0] = '\0';
    if (get_file_ver(nullptr, file)) {
      std::fprintf(out, "%s: Type=%s, Version=%d.%02d, Size=%d bytes, Packets=%d\n", path,
                   DispFiletype[datafile.attr_code & 3], datafile.version / 256,
                   datafile.version % 256, datafile.size, datafile.size / kFileBufSize);
    } else {
      std::fprintf(out, "%s: %s\n", path, g_box_text);
      ++failures;
    }
    file_close(file);
  }
  host_reset();
  return failures == 0 ? 0 : 1;
}
