// The command line: any arguments (split from the input at zero bytes),
// against the rules: the path kept is the full path of the last argument that
// names an existing file (never a folder, never cut short: shorter than the
// record, or none at all), and "/h" or "/H..." that names no file asks for no
// foreground.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ui/command_line.h"

namespace {

// The full path of an argument that names an existing file and fits; "" if not.
std::string names_file(const std::string& argument) {
  if (argument.empty()) return "";
  char full[PATH_MAX];
  if (realpath(argument.c_str(), full) == nullptr) return "";
  struct stat st;
  if (stat(full, &st) != 0 || S_ISDIR(st.st_mode)) return "";
  if (std::strlen(full) >= static_cast<size_t>(kCmdPathSize)) return "";
  return full;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"xrupdate"};
  std::string current;
  for (size_t i = 0; i < size && args.size() < 16; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty()) args.push_back(current);
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  std::string want_path;
  int want_h = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string full = names_file(args[i]);
    if (!full.empty()) {
      want_path = full;
    } else if (args[i][0] == '/' && args[i].size() > 1 && std::tolower(static_cast<unsigned char>(args[i][1])) == 'h') {
      want_h = 1;
    }
  }

  CmdLine record;
  std::memset(&record, 0x5A, sizeof record);
  analyze_cmdline(&record, static_cast<int>(args.size()), argv.data());
  if (strnlen(record.path, kCmdPathSize) >= static_cast<size_t>(kCmdPathSize))
    fuzz_fail("the path fits its buffer with its terminator");
  if (want_path != record.path) fuzz_fail("the path is that of the last argument that names a file");
  if (record.no_foreground != want_h) fuzz_fail("/h (any word beginning with it) sets no_foreground");
  return 0;
}
