#include "ui/emit_syx.h"

#include <cstdio>

#include "engine/device_protocol.h"
#include "engine/file_io.h"
#include "engine/update_file.h"
#include "ui/info_command.h"

int emit_syx(const char* update_path, const char* out_path, void* err_stream) {
  FILE* err = static_cast<FILE*>(err_stream);
  const bool allocated = file_buf == nullptr;
  if (allocated && !init_tfr()) {
    std::fprintf(err, "Memory Alloc Error\n");
    return 1;
  }
  int status = 1;
  char refusal[256];
  FILE* out = nullptr;
  const FileHandle file = open_checked_update_file(update_path, refusal, sizeof refusal);
  if (file == kInvalidFile) {
    std::fprintf(err, "%s: %s\n", update_path, refusal);
  } else if (!take_file_image(file)) {
    // The packets are built from the file as it was checked, as an update's are.
    std::fprintf(err, "%s: File Read Error\n", update_path);
  } else if ((out = std::fopen(out_path, "wb")) == nullptr) {
    std::fprintf(err, "%s: cannot be written\n", out_path);
  } else {
    int length = build_set_mode(tfr_buf, datafile.attr_code);
    bool ok = std::fwrite(tfr_buf, 1, static_cast<size_t>(length), out) == static_cast<size_t>(length);
    const int total = datafile.size / kFileBufSize;
    for (int packet = 0; ok && packet < total; ++packet) {
      length = build_data_packet(tfr_buf, packet, file_buf + static_cast<long>(packet) * kFileBufSize);
      ok = std::fwrite(tfr_buf, 1, static_cast<size_t>(length), out) == static_cast<size_t>(length);
    }
    if (std::fclose(out) != 0) ok = false;
    if (!ok) {
      std::fprintf(err, "%s: writing failed\n", out_path);
      std::remove(out_path);
    }
    status = ok ? 0 : 1;
  }
  if (file != kInvalidFile) file_close(file);
  if (allocated) free_tfr();
  return status;
}
