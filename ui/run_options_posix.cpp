#include "ui/run_options.h"

#include <getopt.h>
#include <strings.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/command_line.h"
#include "support/printable.h"

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
  kOptTimeout,
  kOptFirst,
  kOptAll,
  kOptMember,
  kOptVerify,
  kOptVerifyTimeout,
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
    {"timeout", required_argument, nullptr, kOptTimeout},
    {"first", no_argument, nullptr, kOptFirst},
    {"all", no_argument, nullptr, kOptAll},
    {"member", required_argument, nullptr, kOptMember},
    {"verify", no_argument, nullptr, kOptVerify},
    {"verify-timeout", required_argument, nullptr, kOptVerifyTimeout},
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
    default: return "the front end";
  }
}

// The options that are not commands, and the commands each applies to.
enum OptionBit : unsigned {
  kBitIni = 1u << 0,
  kBitPort = 1u << 1,
  kBitMidi = 1u << 2,
  kBitRate = 1u << 3,
  kBitSkip = 1u << 4,
  kBitJson = 1u << 5,
  kBitQuiet = 1u << 6,
  kBitTimeout = 1u << 7,
  kBitFirst = 1u << 8,
  kBitAll = 1u << 9,
  kBitMember = 1u << 10,
  kBitVerify = 1u << 11,
  kBitVerifyTimeout = 1u << 12,
};

unsigned allowed_options(RunCommand command) {
  const unsigned link = kBitIni | kBitPort | kBitMidi | kBitRate;
  switch (command) {
    case kRunFrontEnd: return link | kBitSkip;
    case kRunBatch:
      return link | kBitSkip | kBitJson | kBitQuiet | kBitAll | kBitTimeout | kBitMember | kBitVerify |
             kBitVerifyTimeout;
    case kRunDryRun: return link | kBitSkip | kBitJson | kBitQuiet;
    case kRunQuery: return link | kBitJson | kBitQuiet;
    case kRunFind: return kBitIni | kBitPort | kBitJson | kBitTimeout | kBitFirst;
    case kRunList:
    case kRunInfo: return kBitIni | kBitJson;
    default: return kBitIni;  // a wrapper may name the settings file whatever it runs
  }
}

// A byte of an option as written: itself when it is printable ASCII, else \xNN.
std::string shown_byte(int c) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char b = static_cast<unsigned char>(c);
  if (b >= 0x21 && b < 0x7F) return std::string(1, static_cast<char>(b));
  return std::string("\\x") + kHex[b >> 4] + kHex[b & 15];
}

// How long options are: "--name" (up to a "="), as written.
std::string long_name(const char* argument) {
  const char* equals = std::strchr(argument, '=');
  return equals != nullptr ? std::string(argument, static_cast<size_t>(equals - argument)) : std::string(argument);
}

bool known_long_option(const std::string& name, int* has_arg) {
  for (const option* o = kLongOptions; o->name != nullptr; ++o) {
    if (name == std::string("--") + o->name) {
      *has_arg = o->has_arg;
      return true;
    }
  }
  return false;
}

// "COM" and digits that are not one of COM1..COM4.
bool other_com_name(const char* text) {
  if (strncasecmp(text, "COM", 3) != 0 || text[3] == '\0') return false;
  for (const char* p = text + 3; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return !(text[3] >= '1' && text[3] <= '4' && text[4] == '\0');
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

// What the scan of the command line has read so far.
struct OptionScan {
  RunOptions* options = nullptr;
  bool help = false;
  bool version = false;
  RunCommand command = kRunFrontEnd;
  std::string error;  // the first usage error; help and the version still answer
  unsigned given = 0;
  std::string given_names[16];  // each option bit's name as written

  void note(unsigned bit, const char* name) {
    given |= bit;
    for (int b = 0; b < 16; ++b) {
      if (bit == (1u << b) && given_names[b].empty()) given_names[b] = name;
    }
  }
  void fail(const std::string& text) {
    if (error.empty()) error = text;
  }
};

// The command an option id chooses; kRunFrontEnd when it chooses none.
RunCommand command_of(int id) {
  switch (id) {
    case kOptBatch: return kRunBatch;
    case kOptInfo: return kRunInfo;
    case kOptEmitSyx: return kRunEmitSyx;
    case kOptList: return kRunList;
    case kOptQuery: return kRunQuery;
    case kOptFind: return kRunFind;
    case kOptDryRun: return kRunDryRun;
    default: return kRunFrontEnd;
  }
}

void choose_command(OptionScan* scan, RunCommand chosen) {
  if (scan->command != kRunFrontEnd && scan->command != chosen) {
    scan->fail(std::string(command_name(scan->command)) + " and " + command_name(chosen) + " cannot be given together");
  } else {
    scan->command = chosen;
  }
}

void read_port(OptionScan* scan, const char* value) {
  scan->note(kBitPort, "--port");
  if (value[0] == '\0') {
    scan->fail("--port needs a device");
  } else if (other_com_name(value)) {
    scan->fail(std::string("--port ") + value + ": the ports are COM1 to COM4 (any other device is named by its path)");
  } else {
    scan->options->ports.push_back(value);
    scan->options->link_order.push_back('p');
  }
}

void read_rate(OptionScan* scan, const char* value) {
  scan->note(kBitRate, "--rate");
  if (std::strlen(value) != 1 || value[0] < '0' || value[0] > '3') {
    scan->fail(std::string("--rate takes 0, 1, 2 or 3, not ") + value);
  } else {
    scan->options->rate = value[0] - '0';
  }
}

// A whole decimal number from `low` to `high`, digits only; false for anything else.
bool read_number(const char* value, long low, long high, long* number) {
  char* end = nullptr;
  *number = std::strtol(value, &end, 10);
  return value[0] >= '0' && value[0] <= '9' && *end == '\0' && *number >= low && *number <= high;
}

void read_timeout(OptionScan* scan, const char* value) {
  scan->note(kBitTimeout, "--timeout");
  long ms = 0;
  if (!read_number(value, 1, 60000, &ms)) {
    scan->fail(std::string("--timeout takes milliseconds from 1 to 60000, not ") + value);
  } else {
    scan->options->timeout_ms = static_cast<int>(ms);
  }
}

void read_verify_timeout(OptionScan* scan, const char* value) {
  scan->note(kBitVerifyTimeout, "--verify-timeout");
  long seconds = 0;
  if (!read_number(value, 1, 3600, &seconds)) {
    scan->fail(std::string("--verify-timeout takes seconds from 1 to 3600, not ") + value);
  } else {
    scan->options->verify_timeout_s = static_cast<int>(seconds);
  }
}

// --member K: instrument K (from 1) of a --batch of several.
void read_member(OptionScan* scan, const char* value) {
  scan->note(kBitMember, "--member");
  long k = 0;
  if (!read_number(value, 1, 4096, &k)) {
    scan->fail(std::string("--member takes a number from 1 to 4096 (it is for xrupdate's own use), not ") + value);
  } else {
    scan->options->member = static_cast<int>(k);
  }
}

// The options that choose the link and the output, and their values. False for
// an id that is none of them.
bool read_setting(OptionScan* scan, int id, const char* value) {
  RunOptions* options = scan->options;
  switch (id) {
    case 'q': options->quiet = true; scan->note(kBitQuiet, "-q"); return true;
    case kOptIni: options->ini = value; scan->note(kBitIni, "--ini"); return true;
    case kOptPort: read_port(scan, value); return true;
    case kOptMidiOut:
      scan->note(kBitMidi, "--midi-out");
      if (value[0] == '\0') scan->fail("--midi-out needs a name or number");
      if (options->midi_out == nullptr) options->midi_out = value;
      options->midi_outs.push_back(value);
      options->link_order.push_back('o');
      return true;
    case kOptMidiIn:
      scan->note(kBitMidi, "--midi-in");
      if (value[0] == '\0') scan->fail("--midi-in needs a name or number");
      if (options->midi_in == nullptr) options->midi_in = value;
      options->midi_ins.push_back(value);
      return true;
    case kOptRate: read_rate(scan, value); return true;
    case kOptSkipVersionCheck:
      options->skip_version_check = true;
      scan->note(kBitSkip, "--skip-version-check");
      return true;
    case kOptJson: options->json = true; scan->note(kBitJson, "--json"); return true;
    case kOptTimeout: read_timeout(scan, value); return true;
    case kOptFirst: options->first = true; scan->note(kBitFirst, "--first"); return true;
    case kOptAll: options->all = true; scan->note(kBitAll, "--all"); return true;
    case kOptMember: read_member(scan, value); return true;
    case kOptVerify: options->verify = true; scan->note(kBitVerify, "--verify"); return true;
    case kOptVerifyTimeout: read_verify_timeout(scan, value); return true;
    default: return false;
  }
}

// What getopt_long could not take: a missing argument, an argument to an option
// that takes none, or an unknown option. `argument` is the argument as given.
void refuse_option(OptionScan* scan, int id, const char* argument) {
  const bool is_long = std::strncmp(argument, "--", 2) == 0;
  // The option as written, for the messages.
  const std::string written = is_long ? long_name(argument) : "-" + shown_byte(optopt != 0 ? optopt : id);
  int has_arg = 0;
  if (id == ':') {
    scan->fail(written + " needs an argument");
  } else if (is_long && known_long_option(written, &has_arg) && has_arg == no_argument &&
             std::strchr(argument, '=') != nullptr) {
    scan->fail(written + " takes no argument (" + argument + ")");
  } else {
    scan->fail("unknown option " + written);
  }
}

// One option (or operand) getopt_long has returned.
void read_option(OptionScan* scan, int id, const char* argument) {
  const RunCommand chosen = command_of(id);
  if (chosen != kRunFrontEnd) {
    choose_command(scan, chosen);
  } else if (id == 1) {
    scan->options->operands.push_back(optarg);
  } else if (id == 'h') {
    scan->help = true;
  } else if (id == 'V') {
    scan->version = true;
  } else if (!read_setting(scan, id, optarg)) {
    refuse_option(scan, id, argument);
  }
}

// The number of files against what the command takes; "" when it fits.
std::string operand_count_error(RunCommand command, const std::vector<const char*>& operands) {
  int least = 0, most = 0;
  operand_range(command, &least, &most);
  const int count = static_cast<int>(operands.size());
  if (count < least) {
    return std::string(command_name(command)) + " needs " +
           (command == kRunEmitSyx ? "FILE and OUT" : least == 1 && most == 1 ? "one FILE" : "at least one file");
  }
  if (most >= 0 && count > most) {
    return std::string(command_name(command)) + " takes " +
           (most == 0 ? "no file" : most == 1 ? "one FILE" : "FILE and OUT") + "; \"" + operands[most] +
           "\" is one too many";
  }
  return "";
}

// The links of a --batch: one, several (ports and MIDI pairs, mixed), or --all.
std::string batch_links_error(const OptionScan& scan) {
  const RunOptions& options = *scan.options;
  const size_t outs = options.midi_outs.size(), ins = options.midi_ins.size();
  if (options.all && (!options.ports.empty() || outs + ins > 0))
    return "--all updates every instrument found; it takes no --port, --midi-out or --midi-in";
  if (options.all && options.member != 0) return "--all and --member cannot be given together";
  if ((scan.given & kBitTimeout) != 0 && !options.all) return "--timeout applies to --batch only with --all";
  // One instrument may name only one side of its MIDI pair (the other is the
  // configured one); several are given as whole pairs.
  if ((outs > 1 || ins > 1 || !options.ports.empty()) && outs != ins)
    return "--midi-out and --midi-in go in pairs when several instruments are named (" + std::to_string(outs) +
           " --midi-out, " + std::to_string(ins) + " --midi-in)";
  if (options.member != 0 && named_instruments(options) != 1)
    return "--member needs exactly one link";
  if ((scan.given & kBitVerifyTimeout) != 0 && !options.verify) return "--verify-timeout needs --verify";
  return "";
}

// The options that cannot go together, once the whole command line is read:
// the first that does not fit, or "" when none.
std::string conflict_error(const OptionScan& scan) {
  const RunOptions& options = *scan.options;
  const unsigned refused = scan.given & ~allowed_options(scan.command);
  for (int b = 0; b < 16; ++b) {
    if (refused & (1u << b)) return scan.given_names[b] + " does not apply to " + command_name(scan.command);
  }
  if (scan.command == kRunBatch) {
    const std::string error = batch_links_error(scan);
    if (!error.empty()) return error;
    return operand_count_error(scan.command, options.operands);
  }
  if (!options.ports.empty() && (options.midi_out != nullptr || options.midi_in != nullptr))
    return "--port and --midi-out/--midi-in choose two links at once; give one";
  if (options.ports.size() > 1 && scan.command != kRunFind)
    return "--port is given more than once; only --find and --batch take several";
  if (options.midi_outs.size() > 1 || options.midi_ins.size() > 1)
    return "--midi-out or --midi-in is given more than once; only --batch takes several pairs";
  return operand_count_error(scan.command, options.operands);
}

}  // namespace

int parse_run_options(int argc, char** argv, RunOptions* options, FILE* err) {
  *options = RunOptions{};
  OptionScan scan;
  scan.options = options;
  opterr = 0;  // the errors are told here, one line each
  optind = 0;  // a fresh scan (GNU), also when called again
  // "-": operands come back in their place (id 1), so options may follow files
  // whatever POSIXLY_CORRECT says, and nothing is reordered under the messages.
  for (;;) {
    const int at = optind == 0 ? 1 : optind;  // the argument being read
    optopt = 0;
    const int id = getopt_long(argc, argv, "-:hVq", kLongOptions, nullptr);
    if (id == -1) break;
    read_option(&scan, id, at < argc ? argv[at] : "");
  }
  for (int i = optind; i < argc; ++i) options->operands.push_back(argv[i]);
  options->command = scan.command;
  // Help and the version answer whatever else is given.
  if (scan.help || scan.version) {
    options->command = scan.help ? kRunHelp : kRunVersion;
    return 0;
  }
  const std::string error = scan.error.empty() ? conflict_error(scan) : scan.error;
  if (error.empty()) return 0;
  options->usage_error = printable_text(error);  // the user's own text may hold control bytes
  std::fprintf(err, "xrupdate: %s (xrupdate --help lists the options)\n", options->usage_error.c_str());
  return 2;
}

std::string file_operand_problem(const char* operand) {
  struct stat st;
  if (operand[0] == '\0' || stat(operand, &st) != 0) return "no such file";
  if (S_ISDIR(st.st_mode)) return "is a directory";
  char full[PATH_MAX];
  if (realpath(operand, full) != nullptr && std::strlen(full) >= static_cast<size_t>(kCmdPathSize))
    return "its full path has " + std::to_string(std::strlen(full)) + " characters; " +
           std::to_string(kCmdPathSize - 1) + " at most can be used";
  return "cannot be used";
}

int named_instruments(const RunOptions& options) {
  const size_t pairs = std::max(options.midi_outs.size(), options.midi_ins.size());
  return static_cast<int>(options.ports.size() + pairs);
}

bool several_instruments(const RunOptions& options) {
  return options.command == kRunBatch && options.member == 0 && (options.all || named_instruments(options) > 1);
}

std::string instrument_label(const RunOptions& options) {
  if (!options.ports.empty()) return printable_text(options.ports[0]);
  const std::string out = options.midi_out != nullptr ? options.midi_out : "";
  const std::string in = options.midi_in != nullptr ? options.midi_in : "";
  return printable_text(out == in || in.empty() ? "MIDI " + out : out.empty() ? "MIDI " + in : "MIDI " + out + " / " + in);
}

std::vector<const char*> file_operands(const RunOptions& options) {
  std::vector<const char*> files;
  for (const char* operand : options.operands) {
    // "/h" and the like are switches; "/path/to/file" is a file.
    const bool switch_like = operand[0] == '/' && std::strchr(operand + 1, '/') == nullptr;
    if (!switch_like) files.push_back(operand);
  }
  return files;
}
