#include "ui/info_command.h"

#include <cstring>

#include "engine/update_file.h"
#include "support/host.h"

namespace {

char g_box_text[256];

int capture_box(WindowHandle, const char* text, const char*, unsigned) {
  std::snprintf(g_box_text, sizeof g_box_text, "%s", text ? text : "");
  return 1;
}

}  // namespace

FileHandle open_checked_update_file(const char* path, char* refusal, int size) {
  const FileHandle file = file_open_exclusive(path);
  if (file == kInvalidFile) {
    std::snprintf(refusal, static_cast<size_t>(size), "%s", "File Open Error");
    return kInvalidFile;
  }
  // The check's one box is caught here; whatever the caller had installed comes back after it.
  const HostSinks before = host_current();
  HostSinks sinks = before;
  sinks.message_box = capture_box;
  host_install(sinks);
  g_box_text[0] = '\0';
  const int passed = get_file_ver(nullptr, file);
  host_install(before);
  if (passed) return file;
  std::snprintf(refusal, static_cast<size_t>(size), "%s", g_box_text);
  file_close(file);
  return kInvalidFile;
}

int run_info_command(int count, const char* const* paths, FILE* out) {
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    char refusal[256];
    const FileHandle file = open_checked_update_file(paths[i], refusal, sizeof refusal);
    if (file == kInvalidFile) {
      std::fprintf(out, "%s: %s\n", paths[i], refusal);
      ++failures;
      continue;
    }
    std::fprintf(out, "%s: Type=%s, Version=%d.%02d, Size=%d bytes, Packets=%d\n", paths[i],
                 DispFiletype[datafile.attr_code & 3], datafile.version / 256, datafile.version % 256,
                 datafile.size, datafile.size / kFileBufSize);
    file_close(file);
  }
  return failures == 0 ? 0 : 1;
}
