#pragma once
// The instruments of a --batch of several: who they are, the command line of
// each one's own run, and the records that run sends back.

#include <string>
#include <vector>

#include "ui/run_options.h"

// The descriptor on which a member's run finds the update file the runner checked.
constexpr int kMemberFileFd = 3;

// One instrument: its link as options of its own run.
struct FleetMember {
  bool serial = true;
  std::string port;            // serial: the device as named (a path or COM1..COM4)
  std::string midi_out, midi_in;  // MIDI: the pair's names or numbers as named
  std::string label;           // how it is shown and logged (printable)
};

// The instruments named on the command line, in the order named.
std::vector<FleetMember> named_members(const RunOptions& options);
// A member for a serial device or a MIDI pair of one name (as --find found them).
FleetMember serial_member(const std::string& device);
FleetMember midi_member(const std::string& out, const std::string& in);

// "[LABEL] ", with every "]" in the label written \x5d: a device's name cannot
// end its tag early and pass for another device's line.
std::string member_tag(const std::string& label);
// The label as it goes between the brackets.
std::string bracket_safe(const std::string& label);

// The arguments of member k's (from 1) own run, after the program's name:
// --batch FILE, its link, --member k and the options every run shares.
std::vector<std::string> member_arguments(const RunOptions& options, const std::string& file,
                                          const FleetMember& member, int k);

// What identifies a member's device: "serial:..." for its character device
// (or its resolved path), "midi-out:ID" and "midi-in:ID" for a MIDI pair. Two
// members that share one of these name one device. A device that is not there
// gives no identity (its own run tells why). Returns 2 with *why when a name
// is a usage error (one that names two MIDI devices).
int member_identities(const FleetMember& member, std::vector<std::string>* ids, std::string* why);

// One line a member's run sent.
struct MemberRecord {
  enum Kind { kStdoutLine, kStderrLine, kProgress, kEnd } kind = kStderrLine;
  std::string text;  // a line's text; the end's reason
  int done = 0, total = 0, percent = 0, seconds_left = -1;  // progress, and the end's count
  int status = 0;                                           // the end's exit status
};
// Reads one line (without its line break). A line that is no record is a line
// of its stderr (what it printed before its output was set up).
MemberRecord read_member_line(const std::string& line);

// Where a member's run is.
struct MemberState {
  bool started = false;  // its process runs
  bool ended = false;
  int status = 0;        // its exit status, once ended
  std::string reason;
  int done = 0, total = 0, percent = 0, seconds_left = -1;
};
// The member's line in the terminal view, at most `width` bytes:
// "LABEL  45%  Packet 14 of 32, about 0:40 left", then how it ended.
std::string member_view_line(const FleetMember& member, const MemberState& state, int width);
// How the member's run ended, in one line for the end of the command.
std::string member_end_line(const FleetMember& member, const MemberState& state);
