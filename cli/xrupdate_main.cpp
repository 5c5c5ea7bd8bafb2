#include <cstdio>
#include <cstring>

#include "support/program_info.h"
#include "ui/emit_syx.h"
#include "ui/info_command.h"
#include "cli/batch_runner.h"
#include "cli/find_command.h"
#include "cli/fleet_runner.h"
#include "cli/info_json.h"
#include "support/json_text.h"
#include "cli/list_command.h"
#include "ui/run_options.h"
#include "ui/standard_streams.h"
#include "ui/term/front_end.h"

namespace {

const char* command_word(RunCommand command) {
  switch (command) {
    case kRunQuery: return "query";
    case kRunDryRun: return "dry-run";
    case kRunFind: return "find";
    default: return "batch";
  }
}

void print_usage_json(const RunOptions& options) {
  JsonObject object;
  object.text("command", command_word(options.command)).number("exit", 2).text("outcome", "usage")
      .text("reason", options.usage_error.c_str());
  std::printf("%s\n", object.str().c_str());
  std::fflush(stdout);
}

// The help text: the program's title and version go into its first line.
constexpr const char kHelpText[] =
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
    "                            Options may come in any order; \"--\" ends them (for\n"
    "                            paths that begin with \"-\").\n"
    "  xrupdate --batch [OPTIONS] FILE\n"
    "                            update the instrument with FILE without a window:\n"
    "                            display lines on stdout as \"N: text\", messages and\n"
    "                            errors on stderr as \"caption: text\", the link used\n"
    "                            first, then \"Packet 9 of 32, about 0:07 left\" per\n"
    "                            packet (one rewritten line on a terminal); a serial\n"
    "                            port that does not open ends it (status 4), no other\n"
    "                            port is used; Ctrl-C aborts\n"
    "  xrupdate --batch [OPTIONS] FILE --port A --port B ... | --all\n"
    "                            several instruments side by side, each its own run\n"
    "                            (ports and --midi-out/--midi-in pairs, or every one\n"
    "                            --find finds): one line each on a terminal, lines\n"
    "                            prefixed \"[DEVICE] \" elsewhere, \"Updated N of M\n"
    "                            instruments.\"; status: the first failure's\n"
    "  xrupdate --dry-run [OPTIONS] FILE\n"
    "                            the file check and the version check only, no Set Mode\n"
    "                            and no data packet: whether the update would be accepted\n"
    "  xrupdate --query [OPTIONS] ask the instrument for its System, User and PCM versions\n"
    "  xrupdate --find [--port DEVICE]... [--timeout MS] [--first]\n"
    "                            the version request to every serial device at once (or\n"
    "                            to the devices given), then to each MIDI output/input\n"
    "                            pair with the same name; lists where an instrument\n"
    "                            answered; --timeout: how long each has (1000 ms),\n"
    "                            --first: stop at the first instrument\n"
    "  xrupdate --list           the serial devices present, whether each opens and why\n"
    "                            not, and the MIDI outputs and inputs by number and name\n"
    "  xrupdate --info FILE...   check update files: type, version, size, packets\n"
    "  xrupdate --emit-syx FILE OUT\n"
    "                            write Set Mode and every data packet of FILE, exactly as\n"
    "                            sent, to the SysEx file OUT\n"
    "  xrupdate -h, --help       this text\n"
    "  xrupdate -V, --version    the program's version\n"
    "\n"
    "Options (for this run only, never saved):\n"
    "  --ini PATH                the settings file\n"
    "  --port DEVICE             the serial link on DEVICE: a path, or COM1..COM4\n"
    "  --midi-out NAME           the MIDI link, output NAME (a name or a number as\n"
    "                            --list shows it)\n"
    "  --midi-in NAME            the MIDI link, input NAME\n"
    "  --rate 0..3               the MIDI transfer rate\n"
    "  --skip-version-check      send the file whatever version the instrument has\n"
    "  --json                    --info, --list, --query, --find, --dry-run, --batch:\n"
    "                            one JSON object per result on stdout\n"
    "  -q, --quiet               --batch, --dry-run, --query: only the outcome\n"
    "  --timeout MS              --find: how long each device has to answer, 1 to 60000\n"
    "                            milliseconds (1000 when not given)\n"
    "  --first                   --find: stop at the first instrument that answers\n"
    "  --all                     --batch: every instrument --find finds (--timeout too)\n"
    "  --verify                  --batch: ask the versions again after the update and\n"
    "                            check the file's version is installed (status 5 if not)\n"
    "  --verify-timeout S        how long --verify waits for the answer (60 seconds)\n"
    "A device named with --port, --midi-out or --midi-in that cannot be opened ends\n"
    "the run with status 4 and says why; no other link is used. --port and\n"
    "--midi-out/--midi-in together are a usage error (but for --batch, which takes\n"
    "several), and so is an option that does not apply to the command. A start that\n"
    "names a link or a one-run option is never handed to a running copy. --help and\n"
    "--version answer whatever else is given.\n"
    "\n"
    "Settings file: --ini PATH; else xrupdate.ini beside the program when it exists\n"
    "and can be written (a portable copy); else $XDG_CONFIG_HOME/xrupdate/xrupdate.ini,\n"
    "or ~/.config/xrupdate/xrupdate.ini, its folder made on the first save. The keys\n"
    "Com1Device..Com4Device name the device behind COM1..COM4 (default /dev/ttyS0..3);\n"
    "Config... shows them and changes them.\n"
    "\n"
    "Files written: vup_log.txt, the support log, in the folder the program starts in;\n"
    "test.dat, the last data packet sent, in the working directory of the update\n"
    "(with several instruments test-2.dat, test-3.dat ... for the second and later).\n"
    "\n"
    "Exit status of --batch, --dry-run, --query and --find: 0 update complete (would\n"
    "be accepted; versions read; an instrument found); 1 the program could not start;\n"
    "2 usage error or no such file; 3 file refused (cannot be opened, fails the header\n"
    "check, or changed while read); 4 link not opened, or the configured port not\n"
    "present; 5 device error or time-out (--find: no instrument answered); 6 version\n"
    "refused (the instrument has the same version or better); 7 aborted (Ctrl-C,\n"
    "SIGTERM, SIGQUIT).\n"
    "Exit status of --info and --emit-syx: 0 when every file passes, 1 otherwise,\n"
    "2 for a usage error. --list: 0.\n";

void print_help(FILE* out) { std::fprintf(out, kHelpText, kProgramTitle, kProgramVersion); }

}  // namespace

int main(int argc, char** argv) {
  guard_standard_streams();
  RunOptions options;
  const int usage = parse_run_options(argc, argv, &options, stderr);
  if (usage != 0) {
    // A run that asked for JSON gets its one object, also for a usage error.
    if (options.json && (options.command == kRunBatch || options.command == kRunDryRun ||
                         options.command == kRunQuery || options.command == kRunFind)) {
      print_usage_json(options);
    }
    return usage;
  }
  switch (options.command) {
    case kRunHelp:
      print_help(stdout);
      return 0;
    case kRunVersion:
      std::printf("%s v%s\n", kProgramTitle, kProgramVersion);
      return 0;
    case kRunInfo:
      if (options.json)
        return run_info_json(static_cast<int>(options.operands.size()), options.operands.data(), stdout);
      return run_info_command(static_cast<int>(options.operands.size()), options.operands.data(), stdout);
    case kRunEmitSyx:
      return emit_syx(options.operands[0], options.operands[1], stderr);
    case kRunList:
      return run_list(options);
    case kRunBatch:
      return several_instruments(options) ? run_fleet(options) : run_on_link(options);
    case kRunDryRun:
    case kRunQuery:
      return run_on_link(options);
    case kRunFind:
      return run_find(options);
    default:
      return run_front_end(options);
  }
}
