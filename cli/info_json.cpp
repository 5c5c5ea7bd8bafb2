#include "cli/info_json.h"

#include <string>

#include "engine/update_file.h"
#include "ui/info_command.h"
#include "support/json_text.h"

int run_info_json(int count, const char* const* paths, FILE* out) {
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    char refusal[256];
    JsonObject result;
    result.text("command", "info").text("file", paths[i]);
    const FileHandle file = open_checked_update_file(paths[i], refusal, sizeof refusal);
    if (file == kInvalidFile) {
      result.boolean("passes", false).text("reason", refusal);
      ++failures;
    } else {
      char version[16];
      std::snprintf(version, sizeof version, "%d.%02d", datafile.version / 256, datafile.version % 256);
      result.boolean("passes", true).text("type", DispFiletype[datafile.attr_code & 3]).text("version", version)
          .number("size", datafile.size).number("packets", datafile.size / kFileBufSize);
      file_close(file);
    }
    std::fprintf(out, "%s\n", result.str().c_str());
  }
  std::fflush(out);
  return failures == 0 ? 0 : 1;
}
