#include "support/path_links.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <vector>

namespace {

// A folder where nobody but its owner can put, rename or remove a name: not
// writable by others, or sticky (only an entry's owner may move it there).
bool guarded_folder(const struct stat& folder) {
  return (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (folder.st_mode & S_ISVTX) != 0;
}

// A link that someone else could have put (or moved) there to turn this
// user's reads and writes onto a file of their choosing. Only this user's own
// links and those of the folder's owner are followed, and only in a folder
// where no one else can change them: the kernel's protected-symlinks rule for
// sticky folders, and stricter in a folder everyone may write.
bool planted_link(const std::string& folder_path, const struct stat& link) {
  struct stat folder;
  if (::stat(folder_path.c_str(), &folder) != 0) return true;
  if (!guarded_folder(folder)) return true;
  // Run as root (with another user's HOME or XDG_CONFIG_HOME, say), a link of
  // that user's would send root's writes wherever they chose: only root's own
  // links are followed then, whoever owns the folder.
  if (::geteuid() == 0) return link.st_uid != 0;
  return link.st_uid != ::geteuid() && link.st_uid != folder.st_uid;
}

// The names of path between its slashes, in order ("." and empty ones left out).
void push_names(const std::string& path, std::vector<std::string>* names) {
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    const std::string name = path.substr(at, slash - at);
    if (!name.empty() && name != ".") names->push_back(name);
    at = slash + 1;
  }
}

std::string join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

bool path_link_end(const char* file, std::string* target, bool* through_link, std::string* planted) {
  if (through_link != nullptr) *through_link = false;
  if (planted != nullptr) planted->clear();
  // The path is walked name by name as the kernel resolves it: every link met
  // on the way, in the folders as in the last name, must pass the rule.
  std::string done = file[0] == '/' ? "/" : "";  // resolved so far, free of links
  std::vector<std::string> todo;                 // names still to walk, last first
  {
    std::vector<std::string> names;
    push_names(file, &names);
    todo.assign(names.rbegin(), names.rend());
  }
  int hops = 0;
  bool exists = true;  // once a name is missing, nothing after it can be a link
  while (!todo.empty()) {
    const std::string name = todo.back();
    todo.pop_back();
    if (name == "..") {
      // What is done holds no link, so its last folder can be taken off as text.
      const size_t slash = done.rfind('/');
      const std::string last = slash == std::string::npos ? done : done.substr(slash + 1);
      if (done.empty() || last == "..") {
        done = join(done, "..");
      } else if (done != "/") {
        done = slash == std::string::npos ? "" : (slash == 0 ? "/" : done.substr(0, slash));
      }
      continue;
    }
    const std::string path = join(done, name);
    struct stat st;
    exists = exists && ::lstat(path.c_str(), &st) == 0;
    if (!exists || !S_ISLNK(st.st_mode)) {
      done = path;
      continue;
    }
    if (planted_link(done.empty() ? "." : done, st)) {
      if (planted != nullptr) *planted = path;
      return false;
    }
    if (++hops > 40) return false;
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), &link[0], link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) return false;
    link.resize(static_cast<size_t>(n));
    if (link[0] == '/') done = "/";
    std::vector<std::string> names;
    push_names(link, &names);
    for (auto it = names.rbegin(); it != names.rend(); ++it) todo.push_back(*it);
    if (through_link != nullptr) *through_link = true;
  }
  *target = done.empty() ? "." : done;
  return true;
}
