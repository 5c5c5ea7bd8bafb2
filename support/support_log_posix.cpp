#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "support/support_log.h"

void log_commit(FILE* stream) { ::fsync(::fileno(stream)); }

FILE* log_open_stream(const char* name) {
  // The start folder may be shared with other users: a link there is not
  // followed (it could send the log into any file this user may write), and
  // only a regular file is taken, without waiting on a named pipe.
  const int fd = ::open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK,
                        0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* stream = ::fdopen(fd, "ab");
  if (stream == nullptr) ::close(fd);
  return stream;
}

// Linux has no Windows version record: the banner says "Unknown Windows Version".
int platform_version_info(unsigned*, unsigned*, unsigned*, char*, int) { return 0; }
