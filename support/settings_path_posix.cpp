#include "support/settings_path.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/path_links.h"

namespace {

constexpr const char* kFileName = "xrupdate.ini";
constexpr const char* kFolderName = "xrupdate";

bool absolute(const char* path) { return path != nullptr && path[0] == '/'; }

// a + "/" + b without doubling a slash that a already ends in.
std::string joined(const std::string& a, const char* b) {
  if (!a.empty() && a.back() == '/') return a + b;
  return a + "/" + b;
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool is_writable_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), W_OK) == 0;
}

bool put(const std::string& path, char* out, int size) {
  if (out == nullptr || size <= 0 || path.size() >= static_cast<size_t>(size)) return false;
  std::memcpy(out, path.c_str(), path.size() + 1);
  return true;
}

void say(char* why, int size, const std::string& text) {
  if (why != nullptr && size > 0) std::snprintf(why, static_cast<size_t>(size), "%s", text.c_str());
}

std::string errno_text(int error) { return std::strerror(error); }

}  // namespace

void settings_path_inputs(const char* ini_override, SettingsPathInputs* inputs) {
  static char cwd[PATH_MAX];
  static char program_dir[PATH_MAX];
  static std::string home;
  inputs->ini_override = ini_override;
  inputs->working_dir = ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : nullptr;

  inputs->program_dir = nullptr;
  const ssize_t n = ::readlink("/proc/self/exe", program_dir, sizeof program_dir - 1);
  if (n > 0) {
    program_dir[n] = '\0';
    char* slash = std::strrchr(program_dir, '/');
    if (slash != nullptr) {
      if (slash == program_dir) ++slash;  // a program in "/"
      *slash = '\0';
      inputs->program_dir = program_dir;
    }
  }

  inputs->xdg_config_home = std::getenv("XDG_CONFIG_HOME");

  // HOME as the shell keeps it; the password database where it is unset or unusable.
  const char* env_home = std::getenv("HOME");
  if (absolute(env_home)) {
    home = env_home;
  } else {
    const passwd* entry = ::getpwuid(::getuid());
    home = entry != nullptr && absolute(entry->pw_dir) ? entry->pw_dir : "";
  }
  inputs->home = home.empty() ? nullptr : home.c_str();
}

int settings_path_choose(const SettingsPathInputs& inputs, char* out, int size, int* place) {
  if (inputs.ini_override != nullptr && inputs.ini_override[0] != '\0') {
    // Made absolute now: the settings restore another working directory later,
    // and the file must be saved where it was read.
    std::string path = inputs.ini_override;
    if (!absolute(inputs.ini_override) && absolute(inputs.working_dir))
      path = joined(inputs.working_dir, inputs.ini_override);
    if (!put(path, out, size)) return 0;
    *place = kSettingsGiven;
    return 1;
  }
  if (absolute(inputs.program_dir)) {
    const std::string portable = joined(inputs.program_dir, kFileName);
    if (is_writable_file(portable)) {
      if (!put(portable, out, size)) return 0;
      *place = kSettingsPortable;
      return 1;
    }
  }
  std::string config;
  if (absolute(inputs.xdg_config_home)) {
    config = inputs.xdg_config_home;
  } else if (absolute(inputs.home)) {
    config = joined(inputs.home, ".config");
  } else {
    return 0;
  }
  if (!put(joined(joined(config, kFolderName), kFileName), out, size)) return 0;
  *place = kSettingsConfig;
  return 1;
}

int settings_folder_make(const char* file, char* why, int size) {
  const std::string folder = folder_of(file);
  // Each missing folder from the top down; the ones that exist are left as they are.
  size_t from = 1;
  for (;;) {
    const size_t slash = folder.find('/', from);
    const std::string part = slash == std::string::npos ? folder : folder.substr(0, slash);
    if (!part.empty() && part != "/") {
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
        say(why, size, "the folder " + part + " cannot be made (" + errno_text(errno) + ")");
        return 0;
      }
      struct stat st;
      if (::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        say(why, size, part + " is not a folder");
        return 0;
      }
    }
    if (slash == std::string::npos) return 1;
    from = slash + 1;
  }
}

int settings_file_problem(const char* file, int for_saving, char* why, int size) {
  if (file == nullptr || file[0] == '\0') {
    say(why, size, "no path is known");
    return 1;
  }
  std::string target;
  bool through_link = false;
  std::string planted;
  if (!path_link_end(file, &target, &through_link, &planted)) {
    if (!planted.empty() && ::geteuid() == 0) {
      say(why, size, "it leads through the link " + planted +
                         ", which another user made, and a program run as root does not follow it");
    } else if (!planted.empty()) {
      say(why, size, "it leads through the link " + planted +
                         ", which another user made in a folder others can write, and is not followed");
    } else {
      say(why, size, "it is a link that leads to no file (a loop of links)");
    }
    return 1;
  }
  const std::string named = through_link ? "it is a link to " + target + ", which" : "it";
  struct stat st;
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      say(why, size, named + " is a folder");
      return 1;
    }
    if (!S_ISREG(st.st_mode)) {
      say(why, size, named + " is not a plain file");
      return 1;
    }
    if (::access(target.c_str(), R_OK) != 0) {
      say(why, size, named + " cannot be read (" + errno_text(errno) + ")");
      return 1;
    }
    if (for_saving && ::access(target.c_str(), W_OK) != 0) {
      say(why, size, named + " cannot be written (" + errno_text(errno) + ")");
      return 1;
    }
    return 0;
  }
  const int error = errno;
  // A file that does not exist yet reads as the defaults; saving makes it.
  if (!for_saving && (error == ENOENT || error == ENOTDIR)) return 0;
  if (error != ENOENT) {
    say(why, size, named + " cannot be reached (" + errno_text(error) + ")");
    return 1;
  }
  const std::string folder = folder_of(target);
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    const std::string whose = through_link ? "it is a link to " + target + ", whose" : "its";
    say(why, size, whose + " folder " + folder + " does not exist");
    return 1;
  }
  if (::access(folder.c_str(), W_OK) != 0) {
    say(why, size, "its folder " + folder + " cannot be written (" + errno_text(errno) + ")");
    return 1;
  }
  return 0;
}
