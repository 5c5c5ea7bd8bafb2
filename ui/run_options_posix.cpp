#include "ui/run_options.h"

#include <getopt.h>

#include <cstring>

namespace {

enum OptionId : int {
  kOptIni = 256,
  kOptBatch,
  kOptInfo,
  kOptEmitSyx,
  kOptList,
  kOptQuery,
  kOptFind,
  kOptDryRun,
  kOptPort,
  kOptMidiOut,
  kOptMidiIn,
  kOptRate,
  kOptSkipVersionCheck,
  kOptJson,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"quiet", no_argument, nullptr, 'q'},
    {"ini", required_argument, nullptr, kOptIni},
    {"batch", no_argument, nullptr, kOptBatch},
    {"info", no_argument, nullptr, kOptInfo},
    {"emit-syx", no_argument, nullptr, kOptEmitSyx},
    {"list", no_argument, nullptr, kOptList},
    {"query", no_argument, nullptr, kOptQuery},
    {"find", no_argument, nullptr, kOptFind},
    {"dry-run", no_argument, nullptr, kOptDryRun},
    {"port", required_argument, nullptr, kOptPort},
    {"midi-out", required_argument, nullptr, kOptMidiOut},
    {"midi-in", required_argument, nullptr, kOptMidiIn},
    {"rate", required_argument, nullptr, kOptRate},
    {"skip-version-check", no_argument, nullptr, kOptSkipVersionCheck},
    {"json", no_argument, nullptr, kOptJson},
    {nullptr, 0, nullptr, 0},
};

const char* command_name(RunCommand command) {
  switch (command) {
    case kRunBatch: return "--batch";
    case kRunInfo: return "--info";
    case kRunEmitSyx: return "--emit-syx";
    case kRunList: return "--list";
    case kRunQuery: return "--query";
    case kRunFind: return "--find";
    case kRunDryRun: return "--dry-run";
    default: return "";
  }
}

int usage_error(FILE* err, const char* text, const char* detail = "") {
  std::fprintf(err, "xrupdate: %s%s (xrupdate --help lists the options)\n", text, detail);
  return 2;
}

// How many operands each command takes: [least, most]; -1 for any number.
void operand_range(RunCommand command, int* least, int* most) {
  *least = 0;
  *most = 0;
  switch (command) {
    case kRunFrontEnd: *most = -1; break;
    case kRunBatch:
    case kRunDryRun: *least = 1; *most = 1; break;
    case kRunInfo: *least = 1; *most = -1; break;
    case kRunEmitSyx: *least = 2; *most = 2; break;
    default: break;
  }
}

}  // namespace

int parse_run_options(int argc, char** argv, RunOptions* options, FILE* err) {
  *options = RunOptions{};
  bool help = false;
  bool version = false;
  RunCommand command = kRunFrontEnd;
  opterr = 0;  // the errors are told here, one line each
  optopt = 0;
  optind = 0;  // a fresh scan (GNU), also when called again
  for (;;) {
    const int id = getopt_long(argc, argv, ":hVq", kLongOptions, nullptr);
    if (id == -1) break;
    // The option as written, for the messages: a short one by its letter.
    const char* written = optind - 1 > 0 && optind - 1 < argc ? argv[optind - 1] : "";
    char letter[3] = {'-', static_cast<char>(optopt), '\0'};
    if (optopt > 0 && optopt < 128) written = letter;
    RunCommand chosen = kRunFrontEnd;
    switch (id) {
      case 'h': help = true; break;
      case 'V': version = true; break;
      case 'q': options->quiet = true; break;
      case kOptIni: options->ini = optarg; break;
      case kOptBatch: chosen = kRunBatch; break;
      case kOptInfo: chosen = kRunInfo; break;
      case kOptEmitSyx: chosen = kRunEmitSyx; break;
      case kOptList: chosen = kRunList; break;
      case kOptQuery: chosen = kRunQuery; break;
      case kOptFind: chosen = kRunFind; break;
      case kOptDryRun: chosen = kRunDryRun; break;
      case kOptPort:
        if (optarg[0] == '\0') return usage_error(err, "--port needs a device");
        options->ports.push_back(optarg);
        break;
      case kOptMidiOut:
        if (optarg[0] == '\0') return usage_error(err, "--midi-out needs a name or number");
        options->midi_out = optarg;
        break;
      case kOptMidiIn:
        if (optarg[0] == '\0') return usage_error(err, "--midi-in needs a name or number");
        options->midi_in = optarg;
        break;
      case kOptRate:
        if (std::strlen(optarg) != 1 || optarg[0] < '0' || optarg[0] > '3')
          return usage_error(err, "--rate takes 0, 1, 2 or 3, not ", optarg);
        options->rate = optarg[0] - '0';
        break;
      case kOptSkipVersionCheck: options->skip_version_check = true; break;
      case kOptJson: options->json = true; break;
      case ':':
        return usage_error(err, written, " needs an argument");
      default:
        return usage_error(err, "unknown option ", written);
    }
    if (chosen != kRunFrontEnd) {
      if (command != kRunFrontEnd && command != chosen) {
        std::fprintf(err, "xrupdate: %s and %s cannot be given together\n", command_name(command),
                     command_name(chosen));
        return 2;
      }
      command = chosen;
    }
  }
  for (int i = optind; i < argc; ++i) options->operands.push_back(argv[i]);
  // Help and the version answer whatever else is given.
  if (help || version) {
    options->command = help ? kRunHelp : kRunVersion;
    return 0;
  }
  options->command = command;

  if (!options->ports.empty() && (options->midi_out != nullptr || options->midi_in != nullptr))
    return usage_error(err, "--port and --midi-out/--midi-in choose two links at once; give one");
  if (options->ports.size() > 1 && command != kRunFind)
    return usage_error(err, "--port is given more than once; only --find tries several");
  int least = 0;
  int most = 0;
  operand_range(command, &least, &most);
  const int count = static_cast<int>(options->operands.size());
  if (count < least) {
    std::fprintf(err, "xrupdate: %s needs %s (xrupdate --help lists the options)\n", command_name(command),
                 command == kRunEmitSyx ? "FILE and OUT" : least == 1 && most == 1 ? "one FILE" : "at least one file");
    return 2;
  }
  if (most >= 0 && count > most) {
    std::fprintf(err, "xrupdate: %s takes %s; \"%s\" is one too many\n", command_name(command),
                 most == 0 ? "no file" : most == 1 ? "one FILE" : "FILE and OUT", options->operands[most]);
    return 2;
  }
  return 0;
}
