#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "engine/file_io.h"

namespace {

int g_lock = LOCK_EX;
int g_through = -1;  // the descriptor the update file is opened through, -1 for its path

}  // namespace

void file_open_shared_from_now() { g_lock = LOCK_SH; }

void file_open_through(int fd) { g_through = fd; }

FileHandle file_open_exclusive(const char* path) {
  // A file opened through a descriptor is opened anew (an offset of its own).
  const std::string through = g_through >= 0 ? "/proc/self/fd/" + std::to_string(g_through) : "";
  // O_NONBLOCK: opening a named pipe must not wait for a writer.
  const int fd = ::open(g_through >= 0 ? through.c_str() : path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return kInvalidFile;
  struct stat st;
  // A folder, a pipe or a device opens for reading on Linux but is no update file.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd, g_lock | LOCK_NB) != 0) {
    ::close(fd);
    return kInvalidFile;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

long long file_seek(FileHandle file, long long offset) {
  const off_t at = ::lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET);
  return at < 0 ? -1 : static_cast<long long>(at);
}

long file_read(FileHandle file, void* buffer, long count) {
  long total = 0;
  char* out = static_cast<char*>(buffer);
  while (total < count) {
    const ssize_t got = ::read(static_cast<int>(file), out + total, static_cast<size_t>(count - total));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    total += got;
  }
  return total;
}

long long file_size(FileHandle file) {
  struct stat st;
  if (::fstat(static_cast<int>(file), &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

long long file_stamp(FileHandle file) {
  struct stat st;
  if (::fstat(static_cast<int>(file), &st) != 0) return -1;
  return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

void file_close(FileHandle file) {
  if (file != kInvalidFile) ::close(static_cast<int>(file));
}

int file_write_whole(const char* path, const void* data, long count) {
  // Opened as the update file is: never waiting (a named pipe without a reader
  // would hold the transfer for ever). The working folder may be shared with
  // other users, so a link there is not followed, and only a regular file of
  // this user with no other name is emptied: anything else may be another
  // user's trap or another file's second name.
  const int fd =
      ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW, 0644);
  if (fd < 0) return 0;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1 ||
      ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return 0;
  }
  const char* from = static_cast<const char*>(data);
  long done = 0;
  while (done < count) {
    const ssize_t put = ::write(fd, from + done, static_cast<size_t>(count - done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += put;
  }
  ::close(fd);
  return done == count ? 1 : 0;
}
