#include "support/path_links.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

bool path_link_end(const char* file, std::string* target, bool* through_link) {
  std::string path = file;
  if (through_link != nullptr) *through_link = false;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = path;
      return true;
    }
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), &link[0], link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) return false;
    link.resize(static_cast<size_t>(n));
    if (link[0] == '/') {
      path = link;
    } else {
      const size_t slash = path.rfind('/');
      path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
    }
    if (through_link != nullptr) *through_link = true;
  }
  return false;
}
