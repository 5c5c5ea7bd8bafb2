#include "sim/sim_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

const char* const kSimUsage =
    "usage: xrsim [options]\n"
    "The simulated XR3300/R instrument. Creates a pseudo-terminal, prints its path\n"
    "(one line on stdout) and answers device messages on it like the instrument.\n"
    "\n"
    "Line:\n"
    "  --tty PATH             serve this terminal device instead of a new pseudo-terminal\n"
    "  --baud N               speed set on --tty (default 38400)\n"
    "  --line-speed BAUD      pace reading and every reply byte as a line of BAUD (10 bits a byte)\n"
    "  --midi hw:C,D[,S]      serve this ALSA raw MIDI device instead (prints its name)\n"
    "  --slow-input SIZE:RATE a slow instrument: its input buffer holds SIZE bytes and is\n"
    "                         taken at RATE bytes a second; bytes that find it full are lost\n"
    "\n"
    "Instrument:\n"
    "  --system-version V     first version of the version reply (bytes 5,6)\n"
    "  --user-version V       second version (bytes 7,8)\n"
    "  --pcm-version V        third version (bytes 9,10)\n"
    "                         V is MAJOR.MINOR (1.09 is 0x0109) or 0xHHHH; default 1.00\n"
    "  --image FILE           write the received image to FILE when an update completes\n"
    "  --exit-on-complete     exit (status 0) once an update has completed\n"
    "\n"
    "Faults (STEP is version, setmode, packet:K with K from 0, or all):\n"
    "  --setmode-status N     answer Set Mode with status N (0..255)\n"
    "  --status STEP:N        answer STEP with status N instead of 0 (a packet is not stored)\n"
    "  --silent STEP          send no reply to STEP\n"
    "  --noise STEP[:HEX]     send bytes HEX before the reply to STEP (default FEF8F71234)\n"
    "  --long-reply STEP[:N[:FILL]]  pad the reply to STEP with byte FILL (default 0) to\n"
    "                         N bytes ending F7 (default 20)\n"
    "  --bad-byte STEP:I:V    replace byte I of the reply to STEP by V (e.g. 1:0x41 or 4:0x02)\n"
    "  --delay STEP:MS        send the reply to STEP after MS milliseconds\n"
    "  --late STEP:MS         the first time STEP comes, send its reply after MS\n"
    "                         milliseconds (past the requester's time-out, into its next run)\n"
    "  --duplicate STEP       send the reply to STEP twice\n"
    "  --close STEP           close the line instead of answering STEP, then exit (status 3)\n"
    "  --restart MS           after a completed update restart: silent for MS ms (what\n"
    "                         comes meanwhile is dropped), then the version reply carries\n"
    "                         the update's version (without it the versions stay)\n"
    "\n"
    "Other:\n"
    "  --trace                show every byte in and out on stderr\n"
    "  --help                 this text\n"
    "  --version              the version (that of the programs it is built with)\n"
    "\n"
    "Replies: version F0 42 23 58 01 v1lo v1hi v2lo v2hi v3lo v3hi 00 00 00 00 F7;\n"
    "status F0 42 23 58 03 status F7. A bad packet is answered with status 1\n"
    "(format: length, order, bit 7) or 2 (checksum).\n"
    "Exit status: 0 stopped or update complete, 2 the line could not be set up,\n"
    "3 the line was closed by --close, 64 bad options.\n";

namespace {

bool parse_int(const char* text, long low, long high, int* value) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 0);
  if (end == text || *end != '\0' || errno != 0 || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

bool parse_version(const char* text, int* value) {
  if (std::strncmp(text, "0x", 2) == 0 || std::strncmp(text, "0X", 2) == 0) {
    return parse_int(text, 0, 0xFFFF, value);
  }
  int major = 0, minor = 0;
  char tail = 0;
  if (std::sscanf(text, "%d.%d%c", &major, &minor, &tail) != 2) return false;
  if (major < 0 || major > 255 || minor < 0 || minor > 255) return false;
  *value = major * 256 + minor;
  return true;
}

// "STEP" or "STEP:rest": splits at the colon after the step (packet:K has one).
bool split_step(const char* text, SimStep* step, std::string* rest) {
  std::string s = text;
  size_t at = s.compare(0, 7, "packet:") == 0 ? s.find(':', 7) : s.find(':');
  std::string head = at == std::string::npos ? s : s.substr(0, at);
  *rest = at == std::string::npos ? "" : s.substr(at + 1);
  return sim_parse_step(head.c_str(), step) == 1;
}

bool parse_hex_bytes(const std::string& text, std::vector<unsigned char>* bytes) {
  if (text.empty() || text.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    int v = 0;
    if (!parse_int(("0x" + text.substr(i, 2)).c_str(), 0, 255, &v)) return false;
    bytes->push_back(static_cast<unsigned char>(v));
  }
  return true;
}

int refuse(const char* option, std::string* bad) {
  if (bad != nullptr) *bad = option;
  return 0;
}

// What a group of options made of one option and its value.
enum ValueOption { kNotInGroup, kTaken, kBadValue };

ValueOption taken_if(bool ok) { return ok ? kTaken : kBadValue; }

// --slow-input SIZE:RATE.
bool parse_slow_input(const std::string& value, SimOptions* options) {
  const size_t colon = value.find(':');
  return colon != std::string::npos && parse_int(value.substr(0, colon).c_str(), 1, 1 << 20, &options->slow_size) &&
         parse_int(value.substr(colon + 1).c_str(), 1, 10000000, &options->slow_rate);
}

// The line served and its pace, and the instrument's own versions and image.
ValueOption read_line_option(const char* opt, const char* value, SimOptions* options) {
  SimConfig& config = options->config;
  if (std::strcmp(opt, "--tty") == 0) {
    options->tty = value;
    return kTaken;
  }
  if (std::strcmp(opt, "--baud") == 0) return taken_if(parse_int(value, 1, 4000000, &options->baud));
  if (std::strcmp(opt, "--midi") == 0) {
    options->midi = value;
    return kTaken;
  }
  if (std::strcmp(opt, "--slow-input") == 0) return taken_if(parse_slow_input(value, options));
  if (std::strcmp(opt, "--line-speed") == 0) return taken_if(parse_int(value, 1, 4000000, &config.line_baud));
  if (std::strcmp(opt, "--system-version") == 0) return taken_if(parse_version(value, &config.versions[0]));
  if (std::strcmp(opt, "--user-version") == 0) return taken_if(parse_version(value, &config.versions[1]));
  if (std::strcmp(opt, "--pcm-version") == 0) return taken_if(parse_version(value, &config.versions[2]));
  if (std::strcmp(opt, "--image") == 0) {
    config.image_path = value;
    return kTaken;
  }
  return kNotInGroup;
}

// --long-reply STEP[:N[:FILL]].
bool parse_long_reply(const char* value, SimConfig* config) {
  std::string rest;
  if (!split_step(value, &config->long_step, &rest)) return false;
  const size_t colon = rest.find(':');
  if (!rest.empty() && !parse_int(rest.substr(0, colon).c_str(), 1, 4096, &config->long_length)) return false;
  return colon == std::string::npos || parse_int(rest.substr(colon + 1).c_str(), 0, 255, &config->long_fill);
}

// --bad-byte STEP:I:V.
bool parse_bad_byte(const char* value, SimConfig* config) {
  std::string rest;
  if (!split_step(value, &config->bad_step, &rest)) return false;
  const size_t colon = rest.find(':');
  return colon != std::string::npos && parse_int(rest.substr(0, colon).c_str(), 0, 4095, &config->bad_index) &&
         parse_int(rest.substr(colon + 1).c_str(), 0, 255, &config->bad_value);
}

// STEP:N with N from 0 to `most`.
bool parse_step_number(const char* value, SimStep* step, long most, int* number) {
  std::string rest;
  return split_step(value, step, &rest) && parse_int(rest.c_str(), 0, most, number);
}

// STEP alone.
bool parse_step_alone(const char* value, SimStep* step) {
  std::string rest;
  return split_step(value, step, &rest) && rest.empty();
}

// --noise STEP[:HEX].
bool parse_noise(const char* value, SimConfig* config) {
  std::string rest;
  if (!split_step(value, &config->noise_step, &rest)) return false;
  return rest.empty() || parse_hex_bytes(rest, &config->noise);
}

// The faults: how a step is answered wrongly, or not at all.
ValueOption read_fault_option(const char* opt, const char* value, SimConfig* config) {
  if (std::strcmp(opt, "--setmode-status") == 0) return taken_if(parse_int(value, 0, 255, &config->setmode_status));
  if (std::strcmp(opt, "--status") == 0)
    return taken_if(parse_step_number(value, &config->status_step, 255, &config->status_value));
  if (std::strcmp(opt, "--silent") == 0) return taken_if(parse_step_alone(value, &config->silent_step));
  if (std::strcmp(opt, "--noise") == 0) return taken_if(parse_noise(value, config));
  if (std::strcmp(opt, "--long-reply") == 0) return taken_if(parse_long_reply(value, config));
  if (std::strcmp(opt, "--bad-byte") == 0) return taken_if(parse_bad_byte(value, config));
  if (std::strcmp(opt, "--delay") == 0)
    return taken_if(parse_step_number(value, &config->delay_step, 600000, &config->delay_ms));
  if (std::strcmp(opt, "--late") == 0)
    return taken_if(parse_step_number(value, &config->late_step, 600000, &config->late_ms));
  if (std::strcmp(opt, "--duplicate") == 0) return taken_if(parse_step_alone(value, &config->duplicate_step));
  if (std::strcmp(opt, "--close") == 0) return taken_if(parse_step_alone(value, &config->close_step));
  if (std::strcmp(opt, "--restart") == 0) return taken_if(parse_int(value, 0, 600000, &config->restart_ms));
  return kNotInGroup;
}

}  // namespace

int sim_parse_options(int argc, const char* const* argv, SimOptions* options, std::string* bad) {
  for (int i = 1; i < argc; ++i) {
    const char* opt = argv[i];
    if (std::strcmp(opt, "--help") == 0 || std::strcmp(opt, "-h") == 0) {
      options->help = true;
      return 1;
    }
    if (std::strcmp(opt, "--version") == 0 || std::strcmp(opt, "-V") == 0) {
      options->version = true;
      return 1;
    }
    if (std::strcmp(opt, "--trace") == 0) {
      options->trace = true;
      continue;
    }
    if (std::strcmp(opt, "--exit-on-complete") == 0) {
      options->exit_on_complete = true;
      continue;
    }
    if (i + 1 >= argc) return refuse(opt, bad);
    const char* value = argv[++i];
    ValueOption read = read_line_option(opt, value, options);
    if (read == kNotInGroup) read = read_fault_option(opt, value, &options->config);
    if (read != kTaken) return refuse(opt, bad);
  }
  return 1;
}
