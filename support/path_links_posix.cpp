#include "support/path_links.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace {

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A link that someone else could have put there to turn this user's writes
// onto a file of their choosing.
bool planted_link(const std::string& path, const struct stat& link) {
  if (link.st_uid == ::geteuid()) return false;
  struct stat folder;
  if (::stat(folder_of(path).c_str(), &folder) != 0) return true;
  if ((folder.st_mode & (S_IWGRP | S_IWOTH)) == 0) return false;  // only its owner writes there
  return link.st_uid != folder.st_uid;
}

}  // namespace

bool path_link_end(const char* file, std::string* target, bool* through_link, std::string* planted) {
  std::string path = file;
  if (through_link != nullptr) *through_link = false;
  if (planted != nullptr) planted->clear();
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = path;
      return true;
    }
    if (planted_link(path, st)) {
      if (planted != nullptr) *planted = path;
      return false;
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
