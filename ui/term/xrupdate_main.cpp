#include <cstdio>
#include <cstring>

#include "support/program_info.h"
#include "ui/info_command.h"

namespace {

void print_help(FILE* out) {
  std::fprintf(out,
               "%s v%s\n"
               "Loads an update file (system, PCM, user data or all) into the XR3300.\n"
               "\n"
               "Usage:\n"
               "  xrupdate --info FILE...   check update files: type, version, size, packets\n"
               "  xrupdate --help           this text\n"
               "  xrupdate --version        the program's version\n"
               "\n"
               "Exit status of --info: 0 when every file passes the header check, 1 otherwise,\n"
               "2 for a usage error.\n",
               kProgramTitle, kProgramVersion);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
    print_help(stdout);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s v%s\n", kProgramTitle, kProgramVersion);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--info") == 0) {
    if (argc < 3) {
      std::fprintf(stderr, "xrupdate: --info needs at least one file\n");
      return 2;
    }
    return run_info_command(argc - 2, argv + 2, stdout);
  }
  print_help(stderr);
  return 2;
}
