// The option parser on any command line, against the rules it promises:
// - it returns 0 or 2; 2 comes with exactly one line on the error stream and
//   the usage error set, 0 with neither;
// - -h/--help and -V/--version answer whatever else is given;
// - with 0 the operands fit the command and one link at most is named;
// - options come in any order: the same arguments in another order before "--"
//   give the same command and options, with POSIXLY_CORRECT set or not.
//
// The input: a byte of flags (bit 0: POSIXLY_CORRECT for the first reading; the
// second reading, in another order, gets the opposite), a byte that seeds the
// new order, then the arguments split at zero bytes. An argument that begins
// with byte 2..N begins with a word of the program's vocabulary (the rest
// follows it); one that begins with byte 1 is the bytes after it; any other is
// taken as it is.
#include <stdio.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "fuzz/fuzz_rule.h"
#include "ui/run_options.h"

namespace {

constexpr const char* kWords[] = {
    "--help", "--version", "-h", "-V", "-q", "--quiet", "--ini", "--batch", "--info", "--emit-syx",
    "--list", "--query", "--find", "--dry-run", "--port", "--midi-out", "--midi-in", "--rate",
    "--skip-version-check", "--json", "--timeout", "--first", "--", "-", "/h", "COM1", "COM5", "f.sys",
    "--po", "--midi", "--h", "-qh", "=", "0", "3", "60000", "/dev/ttyUSB0",
    "--all", "--verify", "--verify-timeout", "--member", "--ver", "/dev/ttyS1",
};
constexpr int kWordCount = sizeof kWords / sizeof kWords[0];
constexpr int kMostArguments = 24;

// The long options as the manual page lists them, and which take an argument.
struct LongOption {
  const char* name;
  bool takes_argument;
};
constexpr LongOption kLongOptions[] = {
    {"help", false},  {"version", false}, {"quiet", false},    {"ini", true},       {"batch", false},
    {"info", false},  {"emit-syx", false}, {"list", false},    {"query", false},    {"find", false},
    {"dry-run", false}, {"port", true},   {"midi-out", true},  {"midi-in", true},   {"rate", true},
    {"skip-version-check", false},        {"json", false},     {"timeout", true},   {"first", false},
    {"all", false},   {"member", true},   {"verify", false},   {"verify-timeout", true},
};
constexpr int kLongOptionCount = sizeof kLongOptions / sizeof kLongOptions[0];

// A long option as getopt_long reads "--NAME" or "--NAME=...": its whole name,
// else the one option NAME begins; -1 for none or for a part of several.
int long_option(const std::string& argument) {
  const std::string name = argument.substr(2, argument.find('=') - 2);
  int found = -1;
  for (int i = 0; i < kLongOptionCount; ++i) {
    if (name == kLongOptions[i].name) return i;
    if (std::strncmp(kLongOptions[i].name, name.c_str(), name.size()) == 0) {
      if (found >= 0) return -1;
      found = i;
    }
  }
  return found;
}

// One option with its argument, or one operand: what may move as a whole.
struct Token {
  std::vector<std::string> arguments;
  std::string key;  // tokens of one key keep their order (the last --ini counts, files in turn)
};

struct Reading {
  std::vector<Token> tokens;  // before "--"
  std::vector<std::string> tail;  // "--" and what follows it; an option that lacks its argument
  bool help = false;
  bool version = false;
};

Reading read_arguments(const std::vector<std::string>& args) {
  Reading reading;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      reading.tail.assign(args.begin() + static_cast<long>(i), args.end());
      break;
    }
    Token token;
    token.arguments.push_back(a);
    if (a.size() > 2 && a[0] == '-' && a[1] == '-') {
      const int option = long_option(a);
      const bool with_equals = a.find('=') != std::string::npos;
      token.key = option >= 0 ? kLongOptions[option].name : "unknown";
      if (option == 0 && !with_equals) reading.help = true;
      if (option == 1 && !with_equals) reading.version = true;
      if (option >= 0 && kLongOptions[option].takes_argument && !with_equals) {
        if (i + 1 == args.size()) {  // it takes the next argument, whichever comes next: keep it last
          reading.tail.push_back(a);
          break;
        }
        token.arguments.push_back(args[++i]);
      }
    } else if (a.size() > 1 && a[0] == '-') {
      // No short option takes an argument: every byte after "-" is one.
      token.key = "short";
      if (a.find('h', 1) != std::string::npos) reading.help = true;
      if (a.find('V', 1) != std::string::npos) reading.version = true;
    } else {
      token.key = "operand";
    }
    reading.tokens.push_back(token);
  }
  return reading;
}

// The tokens in another order picked by `seed`, each key's in its own order.
std::vector<std::string> reordered(const Reading& reading, uint32_t seed) {
  std::vector<std::string> keys;
  std::vector<std::deque<const Token*>> queues;
  for (const Token& token : reading.tokens) {
    size_t k = 0;
    while (k < keys.size() && keys[k] != token.key) ++k;
    if (k == keys.size()) {
      keys.push_back(token.key);
      queues.emplace_back();
    }
    queues[k].push_back(&token);
  }
  std::vector<std::string> out;
  uint32_t state = seed * 2654435761u + 12345u;
  for (size_t left = reading.tokens.size(); left > 0; --left) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    size_t k = state % queues.size();
    while (queues[k].empty()) k = (k + 1) % queues.size();
    for (const std::string& a : queues[k].front()->arguments) out.push_back(a);
    queues[k].pop_front();
  }
  out.insert(out.end(), reading.tail.begin(), reading.tail.end());
  return out;
}

struct Parsed {
  int status;
  RunOptions options;
  std::string err;
};

// `kept` holds the arguments the result points into.
Parsed parse(const std::vector<std::string>& args, bool posixly_correct, std::vector<std::string>* kept) {
  if (posixly_correct) {
    setenv("POSIXLY_CORRECT", "1", 1);
  } else {
    unsetenv("POSIXLY_CORRECT");
  }
  *kept = args;
  kept->insert(kept->begin(), "xrupdate");
  std::vector<char*> argv;
  for (std::string& a : *kept) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  Parsed parsed;
  char* text = nullptr;
  size_t length = 0;
  FILE* err = open_memstream(&text, &length);
  parsed.status = parse_run_options(static_cast<int>(kept->size()), argv.data(), &parsed.options, err);
  std::fclose(err);
  parsed.err.assign(text, length);
  std::free(text);
  return parsed;
}

// The rules one reading must keep by itself.
void check_reading(const Reading& model, const Parsed& p) {
  const RunOptions& o = p.options;
  fuzz_rule(p.status == 0 || p.status == 2, "the parser returns 0 or 2");
  if (p.status == 2) {
    if (p.err.find('\n') != p.err.size() - 1 || p.err.rfind("xrupdate: ", 0) != 0)
      fuzz_rule_broken("a usage error is one line on the error stream", fuzz_shown(p.err));
    fuzz_rule(!o.usage_error.empty(), "a usage error (status 2) is kept in usage_error");
    for (const char c : o.usage_error) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
        fuzz_rule_broken("a usage error holds no control character", fuzz_shown(o.usage_error));
    }
  } else {
    fuzz_rule(p.err.empty() && o.usage_error.empty(), "status 0 writes nothing and keeps no usage error");
  }
  if (model.help) {
    fuzz_rule(p.status == 0 && o.command == kRunHelp, "--help answers whatever else is given");
    return;
  }
  if (model.version) {
    fuzz_rule(p.status == 0 && o.command == kRunVersion, "--version answers whatever else is given");
    return;
  }
  fuzz_rule(o.command != kRunHelp && o.command != kRunVersion, "only -h/--help and -V/--version answer so");
  if (p.status != 0) return;
  // The operands each command takes.
  size_t least = 0, most = 0;
  switch (o.command) {
    case kRunFrontEnd: most = SIZE_MAX; break;
    case kRunBatch:
    case kRunDryRun: least = most = 1; break;
    case kRunInfo: least = 1; most = SIZE_MAX; break;
    case kRunEmitSyx: least = most = 2; break;
    default: break;
  }
  if (o.operands.size() < least || o.operands.size() > most)
    fuzz_rule_broken("with status 0 the operands fit the command",
                     std::to_string(o.operands.size()) + " operands for command " + std::to_string(o.command));
  const bool batch = o.command == kRunBatch;
  fuzz_rule(o.ports.size() <= 1 || o.command == kRunFind || batch, "only --find and --batch take more than one --port");
  fuzz_rule(batch || o.ports.empty() || (o.midi_out == nullptr && o.midi_in == nullptr),
            "one link at most is named, but for --batch");
  fuzz_rule(!batch || !o.all || (o.ports.empty() && o.midi_outs.empty() && o.midi_ins.empty()),
            "--batch --all names no link");
  fuzz_rule(!batch || named_instruments(o) <= 1 || o.midi_outs.size() == o.midi_ins.size(),
            "several instruments name whole MIDI pairs");
  fuzz_rule(o.command == kRunFind || (batch && o.all) || o.timeout_ms == 1000, "--timeout is --find's or --all's");
  fuzz_rule(o.command == kRunFind || !o.first, "--first is --find's");
  fuzz_rule(batch || (!o.verify && !o.all && o.member == 0), "--verify, --all and --member are --batch's");
  fuzz_rule(!o.json || (o.command != kRunFrontEnd && o.command != kRunEmitSyx),
            "--json is refused where no JSON is written");
}

std::string text_of(const char* text) { return text != nullptr ? std::string("=") + text : "(none)"; }

std::vector<std::string> texts_of(const std::vector<const char*>& list) {
  return std::vector<std::string>(list.begin(), list.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool posixly_correct_first = (data[0] & 1) != 0;
  const uint32_t seed = data[1] | (static_cast<uint32_t>(data[0] >> 1) << 8);
  std::vector<std::string> args;
  std::string current;
  bool begun = false;
  for (size_t i = 2; i <= size && args.size() < kMostArguments; ++i) {
    if (i == size || data[i] == 0) {
      if (i < size || begun) args.push_back(current);
      current.clear();
      begun = false;
      continue;
    }
    const uint8_t b = data[i];
    if (!begun && b >= 2 && b < 2 + kWordCount) {
      current = kWords[b - 2];
    } else if (begun || b != 1) {
      current.push_back(static_cast<char>(b));
    }
    begun = true;
  }

  const Reading model = read_arguments(args);
  std::vector<std::string> kept[2];
  const Parsed first = parse(args, posixly_correct_first, &kept[0]);
  check_reading(model, first);
  const Parsed second = parse(reordered(model, seed), !posixly_correct_first, &kept[1]);
  check_reading(model, second);

  fuzz_rule(first.status == second.status, "options in another order give the same status");
  if (first.status != 0) return 0;
  const RunOptions& a = first.options;
  const RunOptions& b = second.options;
  const bool same = a.command == b.command && text_of(a.ini) == text_of(b.ini) && a.ports == b.ports &&
                    text_of(a.midi_out) == text_of(b.midi_out) && text_of(a.midi_in) == text_of(b.midi_in) &&
                    a.rate == b.rate && a.skip_version_check == b.skip_version_check && a.json == b.json &&
                    a.quiet == b.quiet && a.timeout_ms == b.timeout_ms && a.first == b.first &&
                    texts_of(a.midi_outs) == texts_of(b.midi_outs) && texts_of(a.midi_ins) == texts_of(b.midi_ins) &&
                    a.all == b.all && a.verify == b.verify && a.verify_timeout_s == b.verify_timeout_s &&
                    a.member == b.member &&
                    texts_of(a.operands) == texts_of(b.operands);
  if (!same)
    fuzz_rule_broken("options in another order give the same command and options",
                     "commands " + std::to_string(a.command) + " and " + std::to_string(b.command));
  return 0;
}
