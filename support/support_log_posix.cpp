#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/path_links.h"
#include "support/support_log.h"

void log_commit(FILE* stream) { ::fsync(::fileno(stream)); }

FILE* log_open_stream(const char* name) {
  // The start folder may be shared with other users. A link is followed only
  // as the settings file's are (this user's own, or the folder owner's, in a
  // folder nobody else can change): any other could send the log into any
  // file this user may write. Only a regular file of this user with no other
  // name is appended to (anything else may be another user's trap or another
  // file's second name), without waiting on a named pipe.
  std::string end;
  if (!path_link_end(name, &end)) return nullptr;
  const int fd = ::open(end.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK,
                        0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
    ::close(fd);
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* stream = ::fdopen(fd, "ab");
  if (stream == nullptr) {
    ::close(fd);
    return nullptr;
  }
  // Unbuffered: each entry, composed whole, is one write on the O_APPEND
  // descriptor, so runs that share the log never mix their entries.
  std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

// Linux has no Windows version record: the banner says "Unknown Windows Version".
int platform_version_info(unsigned*, unsigned*, unsigned*, char*, int) { return 0; }
