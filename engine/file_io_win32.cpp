#include <windows.h>

#include "engine/file_io.h"

FileHandle file_open_exclusive(const char* path) {
  // Share mode 0: no other open of the file succeeds while the transfer holds it.
  HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
  return reinterpret_cast<FileHandle>(h);
}

long long file_seek(FileHandle file, long long offset) {
  LARGE_INTEGER to;
  LARGE_INTEGER at;
  to.QuadPart = offset;
  if (!SetFilePointerEx(reinterpret_cast<HANDLE>(file), to, &at, FILE_BEGIN)) return -1;
  return at.QuadPart;
}

long file_read(FileHandle file, void* buffer, long count) {
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(file), buffer, static_cast<DWORD>(count), &got, nullptr)) return -1;
  return static_cast<long>(got);
}

long long file_size(FileHandle file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(reinterpret_cast<HANDLE>(file), &size)) return -1;
  return size.QuadPart;
}

long long file_stamp(FileHandle file) {
  FILETIME written;
  if (!GetFileTime(reinterpret_cast<HANDLE>(file), nullptr, nullptr, &written)) return -1;
  return static_cast<long long>((static_cast<unsigned long long>(written.dwHighDateTime) << 32) |
                                written.dwLowDateTime);
}

void file_close(FileHandle file) {
  if (file != kInvalidFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

int file_write_whole(const char* path, const void* data, long count) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  DWORD put = 0;
  const BOOL ok = WriteFile(h, data, static_cast<DWORD>(count), &put, nullptr);
  CloseHandle(h);
  return ok && put == static_cast<DWORD>(count) ? 1 : 0;
}
