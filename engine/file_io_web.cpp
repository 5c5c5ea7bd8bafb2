// The update file in the browser: the file the user chose in the page (a file
// chooser or a drop), read from the browser's copy of it: the header for the
// check, then the whole file once. The page offers the chosen file under its
// name just before the transfer starts; the path the engine is given is that name.
//
// A browser cannot lock a file, but it fails a read of a file that was changed
// or removed since it was chosen: the transfer then ends with "File Read Error"
// before anything is sent.
#include "engine/file_io.h"

extern "C" {
// engine/file_io_web.js
int xr_file_open(const char* name);
double xr_file_size(int handle);
int xr_file_read(int handle, double offset, void* buffer, int count);
void xr_file_close(int handle);
}

namespace {

// Where the next read begins, per handle; one file is open at a time.
constexpr int kHandles = 8;
long long g_position[kHandles];

bool valid(FileHandle file) { return file > 0 && file < kHandles; }

}  // namespace

FileHandle file_open_exclusive(const char* path) {
  const int handle = xr_file_open(path);
  if (!valid(handle)) {
    if (handle > 0) xr_file_close(handle);
    return kInvalidFile;
  }
  g_position[handle] = 0;
  return handle;
}

long long file_seek(FileHandle file, long long offset) {
  if (!valid(file) || offset < 0) return -1;
  g_position[file] = offset;  // past the end is allowed, as on the other platforms
  return offset;
}

long file_read(FileHandle file, void* buffer, long count) {
  if (!valid(file) || count < 0) return -1;
  const int got = xr_file_read(static_cast<int>(file), static_cast<double>(g_position[file]), buffer,
                               static_cast<int>(count));
  if (got < 0) return -1;
  g_position[file] += got;
  return got;
}

long long file_size(FileHandle file) {
  if (!valid(file)) return -1;
  const double size = xr_file_size(static_cast<int>(file));
  return size < 0 ? -1 : static_cast<long long>(size);
}

// The browser's copy of a file does not change: a file changed on disk fails
// its reads instead.
long long file_stamp(FileHandle file) { return valid(file) ? 0 : -1; }

void file_close(FileHandle file) {
  if (valid(file)) xr_file_close(static_cast<int>(file));
}

// The page keeps no "test.dat": it has no working folder to write it to, and
// a failed write of that copy goes unnoticed on every platform.
int file_write_whole(const char*, const void*, long) { return 0; }
