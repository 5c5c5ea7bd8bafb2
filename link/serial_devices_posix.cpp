#include "link/serial_devices.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/own_terminal_posix.h"
#include "link/serial_port.h"

namespace {

constexpr const char* kKinds[] = {"ttyUSB", "ttyACM", "ttyS"};
constexpr int kKindCount = 3;

// The kind (0..2) and number of a device name, or false for any other name.
bool device_name(const char* name, int* kind, long* number) {
  for (int k = 0; k < kKindCount; ++k) {
    const size_t length = std::strlen(kKinds[k]);
    if (std::strncmp(name, kKinds[k], length) != 0) continue;
    const char* digits = name + length;
    if (*digits < '0' || *digits > '9' || std::strlen(digits) > 6) return false;
    for (const char* p = digits; *p != '\0'; ++p) {
      if (*p < '0' || *p > '9') return false;
    }
    *kind = k;
    *number = std::strtol(digits, nullptr, 10);
    return true;
  }
  return false;
}

void say(char* why, int size, const char* text) {
  if (why != nullptr && size > 0) std::snprintf(why, static_cast<size_t>(size), "%s", text);
}

// Why a device that did not open does not: looked at again without taking it.
void diagnose(const char* path, char* why, int size) {
  struct stat st;
  if (::stat(path, &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      say(why, size, "does not exist");
    } else {
      char text[160];
      std::snprintf(text, sizeof text, "cannot be reached (%s)", std::strerror(errno));
      say(why, size, text);
    }
    return;
  }
  if (!S_ISCHR(st.st_mode)) {
    say(why, size, "is not a terminal");
    return;
  }
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    char text[200];
    if (errno == EBUSY) {
      say(why, size, "is in use by another program");
    } else if (errno == EACCES || errno == EPERM) {
      std::snprintf(text, sizeof text, "cannot be opened (%s; the user may need to be in the group %s)",
                    std::strerror(errno), "dialout");
      say(why, size, text);
    } else if (errno == ENXIO || errno == ENODEV || errno == EIO) {
      std::snprintf(text, sizeof text, "has no port behind it (%s)", std::strerror(errno));
      say(why, size, text);
    } else {
      std::snprintf(text, sizeof text, "cannot be opened (%s)", std::strerror(errno));
      say(why, size, text);
    }
    return;
  }
  if (!::isatty(fd)) {
    say(why, size, "is not a terminal");
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    say(why, size, "is in use by another program");
  } else {
    say(why, size, "cannot be opened");
  }
  ::close(fd);  // also releases the lock taken to look
}

}  // namespace

std::vector<std::string> serial_device_candidates(const char* folder, std::size_t most) {
  struct Found {
    int kind;
    long number;
    std::string name;
  };
  std::vector<Found> found;
  DIR* dir = ::opendir(folder);
  if (dir == nullptr) return {};
  while (const dirent* entry = ::readdir(dir)) {
    int kind = 0;
    long number = 0;
    if (!device_name(entry->d_name, &kind, &number)) continue;
    const std::string path = std::string(folder) + "/" + entry->d_name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    found.push_back(Found{kind, number, path});
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
  });
  std::vector<std::string> paths;
  for (const Found& f : found) {
    if (paths.size() >= most) break;
    paths.push_back(f.name);
  }
  return paths;
}

std::vector<SerialPresent> serial_devices_present(const char* dev) {
  std::vector<SerialPresent> found;
  for (const std::string& path : serial_device_candidates(dev, static_cast<std::size_t>(-1)))
    found.push_back(SerialPresent{path, ""});
  const std::string by_id = std::string(dev) + "/serial/by-id";
  std::vector<std::string> links;
  if (DIR* dir = ::opendir(by_id.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      links.push_back(by_id + "/" + entry->d_name);
    }
    ::closedir(dir);
  }
  std::sort(links.begin(), links.end());
  for (const std::string& link : links) {
    char target[PATH_MAX];
    found.push_back(SerialPresent{link, ::realpath(link.c_str(), target) != nullptr ? target : "(broken link)"});
  }
  return found;
}

int serial_device_probe(const char* path, char* why, int size) {
  say(why, size, "");
  if (path == nullptr || path[0] == '\0') {
    say(why, size, "names no device");
    return 0;
  }
  // Only a character device can be a serial line; anything else is not
  // opened at all (a FIFO or a plain file gives the same answer either way).
  struct stat st;
  if (::stat(path, &st) != 0 || !S_ISCHR(st.st_mode)) {
    diagnose(path, why, size);
    return 0;
  }
  // The terminal the front end runs in would take the packets as keys.
  if (is_own_terminal(st.st_rdev)) {
    say(why, size, "is the terminal this program runs in");
    return 0;
  }
  // Opened through the same calls as the serial link's open.
  int opened = 0;
  const PortHandle probe = port_open_device(path);
  if (probe != kInvalidPort) {
    opened = port_get_state(probe);
    port_close(probe);
  }
  if (!opened) diagnose(path, why, size);
  return opened;
}
