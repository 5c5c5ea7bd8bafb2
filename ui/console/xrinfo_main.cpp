// The header check for the Windows console: xrinfo FILE...
#include <cstdio>

#include "ui/info_command.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: xrinfo FILE...\n");
    return 2;
  }
  return run_info_command(argc - 1, argv + 1, stdout);
}
