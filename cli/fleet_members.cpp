#include "cli/fleet_members.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "cli/headless_run.h"
#include "cli/output_writer.h"
#include "support/printable.h"
#include "support/settings.h"
#include "ui/link_choice.h"
#include "ui/progress.h"

namespace {

std::string label_of(const FleetMember& member) {
  RunOptions one;
  if (member.serial) {
    one.ports.push_back(member.port);
  } else {
    one.midi_out = member.midi_out.c_str();
    one.midi_in = member.midi_in.c_str();
  }
  return instrument_label(one);
}

// A whole decimal number (with an optional '-'); false for anything else.
bool read_int(const std::string& text, int* value) {
  if (text.empty() || text.size() > 11) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < INT_MIN || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

std::vector<std::string> split_tabs(const std::string& text, size_t most) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (fields.size() + 1 < most) {
    const size_t tab = text.find('\t', start);
    if (tab == std::string::npos) break;
    fields.push_back(text.substr(start, tab - start));
    start = tab + 1;
  }
  fields.push_back(text.substr(start));
  return fields;
}

std::string fitted(std::string line, int width) {
  if (width > 0 && line.size() > static_cast<size_t>(width)) line.resize(static_cast<size_t>(width));
  return line;
}

// How a run ended: "complete, 32 of 32 packets", "device-error after 3 of 32 packets: REASON".
std::string end_words(const MemberState& state) {
  const std::string count = state.total > 0 ? std::to_string(state.done) + " of " + std::to_string(state.total) +
                                                  " packets"
                                            : "";
  if (state.status == kExitComplete) return "complete" + (count.empty() ? "" : ", " + count);
  std::string words = exit_status_word(state.status);
  if (!count.empty()) words += " after " + count;
  if (!state.reason.empty()) words += ": " + state.reason;
  return words;
}

}  // namespace

std::string bracket_safe(const std::string& label) {
  std::string safe;
  for (char c : label) {
    if (c == ']') {
      safe += "\\x5d";
    } else {
      safe += c;
    }
  }
  return safe;
}

std::string member_tag(const std::string& label) { return "[" + bracket_safe(label) + "] "; }

FleetMember serial_member(const std::string& device) {
  FleetMember member;
  member.serial = true;
  member.port = device;
  member.label = label_of(member);
  return member;
}

FleetMember midi_member(const std::string& out, const std::string& in) {
  FleetMember member;
  member.serial = false;
  member.midi_out = out;
  member.midi_in = in;
  member.label = label_of(member);
  return member;
}

std::vector<FleetMember> named_members(const RunOptions& options) {
  std::vector<FleetMember> members;
  size_t port = 0, pair = 0;
  for (char kind : options.link_order) {
    if (kind == 'p' && port < options.ports.size()) {
      members.push_back(serial_member(options.ports[port++]));
    } else if (kind == 'o' && pair < options.midi_outs.size() && pair < options.midi_ins.size()) {
      members.push_back(midi_member(options.midi_outs[pair], options.midi_ins[pair]));
      ++pair;
    }
  }
  return members;
}

std::vector<std::string> member_arguments(const RunOptions& options, const std::string& file,
                                          const FleetMember& member, int k) {
  std::vector<std::string> args = {"--batch", "--member", std::to_string(k)};
  if (member.serial) {
    args.insert(args.end(), {"--port", member.port});
  } else {
    args.insert(args.end(), {"--midi-out", member.midi_out, "--midi-in", member.midi_in});
  }
  if (options.ini != nullptr) args.insert(args.end(), {"--ini", options.ini});
  if (options.rate >= 0) args.insert(args.end(), {"--rate", std::to_string(options.rate)});
  if (options.skip_version_check) args.push_back("--skip-version-check");
  if (options.json) args.push_back("--json");
  if (options.quiet) args.push_back("--quiet");
  if (options.verify) args.insert(args.end(), {"--verify", "--verify-timeout", std::to_string(options.verify_timeout_s)});
  args.insert(args.end(), {"--", file});  // a file whose name begins with "-" stays a file
  return args;
}

int member_identities(const FleetMember& member, std::vector<std::string>* ids, std::string* why) {
  ids->clear();
  if (member.serial) {
    // The checks its own run would make of the name first: a usage error
    // ends the command before any instrument is touched.
    RunOptions one;
    one.ports.push_back(member.port);
    LinkChoice choice;
    const int status = link_choice_read(one, &choice, why);
    if (status != 0) return status;
    const int com = com_port_number(member.port.c_str());
    const std::string device = com != 0 ? com_port_device(com) : member.port;
    struct stat st;
    if (stat(device.c_str(), &st) != 0) {
      // Not there: its run tells why; named twice, it is still one device.
      char full[PATH_MAX];
      ids->push_back("path:" + std::string(realpath(device.c_str(), full) != nullptr ? full : device.c_str()));
      return 0;
    }
    if (S_ISCHR(st.st_mode)) {
      ids->push_back("serial:" + std::to_string(static_cast<unsigned long long>(st.st_rdev)));
    } else {
      ids->push_back("serial:" + std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                     std::to_string(static_cast<unsigned long long>(st.st_ino)));
    }
    return 0;
  }
  RunOptions one;
  one.midi_out = member.midi_out.c_str();
  one.midi_in = member.midi_in.c_str();
  LinkChoice choice;
  const int status = link_choice_read(one, &choice, why);
  if (status == kExitUsage) return status;
  why->clear();
  if (status != 0) return 0;
  ids->push_back("midi-out:" + std::to_string(choice.midi_out));
  ids->push_back("midi-in:" + std::to_string(choice.midi_in));
  return 0;
}

MemberRecord read_member_line(const std::string& line) {
  MemberRecord record;
  record.text = line;
  if (line.size() < 3 || line[0] != kRecordMark || line[2] != '\t') return record;
  const char kind = line[1];
  const std::string rest = line.substr(3);
  if (kind == '1' || kind == '2') {
    record.kind = kind == '1' ? MemberRecord::kStdoutLine : MemberRecord::kStderrLine;
    record.text = rest;
    return record;
  }
  if (kind == 'P') {
    const std::vector<std::string> f = split_tabs(rest, 4);
    MemberRecord progress;
    progress.kind = MemberRecord::kProgress;
    if (f.size() == 4 && read_int(f[0], &progress.done) && read_int(f[1], &progress.total) &&
        read_int(f[2], &progress.percent) && read_int(f[3], &progress.seconds_left))
      return progress;
    return record;
  }
  if (kind == 'E') {
    const std::vector<std::string> f = split_tabs(rest, 4);
    MemberRecord end;
    end.kind = MemberRecord::kEnd;
    if (f.size() == 4 && read_int(f[0], &end.status) && read_int(f[1], &end.done) && read_int(f[2], &end.total)) {
      end.text = f[3];
      return end;
    }
  }
  return record;  // a mark with an unknown kind: shown as the line it is
}

std::string member_view_line(const FleetMember& member, const MemberState& state, int width) {
  std::string line = member.label + "  ";
  if (state.ended) {
    line += end_words(state);
  } else if (state.total > 0) {
    char text[96];
    progress_text_of(state.done, state.total, state.seconds_left, text, sizeof text);
    line += std::to_string(state.percent) + "%  " + text;
  } else {
    line += state.started ? "checking" : "waiting";
  }
  return fitted(line, width);
}

std::string member_end_line(const FleetMember& member, const MemberState& state) {
  return member_tag(member.label) + end_words(state);
}
