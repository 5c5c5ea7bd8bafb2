#include <cstdio>
#include <cstring>

#include "support/program_info.h"
#include "ui/emit_syx.h"
#include "ui/info_command.h"
#include "ui/term/batch_runner.h"
#include "ui/term/front_end.h"
#include "ui/term/standard_streams.h"

namespace {

void print_help(FILE* out) {
  std::fprintf(out,
               "%s v%s\n"
               "Loads an update file (system, PCM, user data or all) into the XR3300.\n"
               "\n"
               "Usage:\n"
               "  xrupdate [--ini PATH] [/h] [FILE...]\n"
               "                            the terminal front end: menu Exit, Update..., Stop...,\n"
               "                            Config... (press the underlined letter), the six display\n"
               "                            lines and the progress; FILE starts its update at once.\n"
               "                            With a copy already running, FILE is handed to it and\n"
               "                            this start ends (\"/h\": without calling the user to it).\n"
               "                            An argument naming an existing path is always a path;\n"
               "                            use \"--\" before paths that begin with \"--\".\n"
               "  xrupdate --batch [--ini PATH] FILE\n"
               "                            update the instrument with FILE on the configured link,\n"
               "                            without a window: display lines on stdout as \"N: text\",\n"
               "                            messages on stderr as \"caption: text\", the link used\n"
               "                            first; a configured serial port that does not open\n"
               "                            ends it (status 4), no other port is used; Ctrl-C aborts\n"
               "  xrupdate --info FILE...   check update files: type, version, size, packets\n"
               "  xrupdate --emit-syx FILE OUT\n"
               "                            write Set Mode and every data packet of FILE, exactly as\n"
               "                            sent, to the SysEx file OUT\n"
               "  xrupdate --help           this text\n"
               "  xrupdate --version        the program's version\n"
               "\n"
               "Settings file: --ini PATH; else xrupdate.ini beside the program when it exists\n"
               "and can be written (a portable copy); else $XDG_CONFIG_HOME/xrupdate/xrupdate.ini,\n"
               "or ~/.config/xrupdate/xrupdate.ini, its folder made on the first save. The keys\n"
               "Com1Device..Com4Device name the device behind COM1..COM4 (default /dev/ttyS0..3);\n"
               "Config... shows them and changes them.\n"
               "\n"
               "Files written: vup_log.txt, the support log, in the folder the program starts in;\n"
               "test.dat, the last data packet sent, in the working directory of the update.\n"
               "\n"
               "Exit status of --batch: 0 update complete; 1 the program could not start;\n"
               "2 usage error or no such file; 3 file refused (cannot be opened, or fails the\n"
               "header check); 4 link not opened, or the configured port not present; 5 device\n"
               "error or time-out; 6 version refused (the instrument has the same version or\n"
               "better); 7 aborted (Ctrl-C, SIGTERM).\n"
               "Exit status of --info and --emit-syx: 0 when every file passes, 1 otherwise,\n"
               "2 for a usage error.\n",
               kProgramTitle, kProgramVersion);
}

}  // namespace

int main(int argc, char** argv) {
  guard_standard_streams();
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
  if (argc >= 2 && std::strcmp(argv[1], "--batch") == 0) {
    return run_batch(argc - 2, argv + 2);
  }
  if (argc >= 2 && std::strcmp(argv[1], "--emit-syx") == 0) {
    if (argc != 4) {
      std::fprintf(stderr, "usage: xrupdate --emit-syx FILE OUT\n");
      return 2;
    }
    return emit_syx(argv[2], argv[3], stderr);
  }
  return run_front_end(argc, argv);
}
