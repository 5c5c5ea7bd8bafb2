// The instruments of a --batch of several: their order, the command line of
// each one's own run, the records that run sends back, and the lines shown.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "cli/fleet_members.h"
#include "cli/output_writer.h"

namespace {

RunOptions fleet_parsed(std::vector<std::string> words) {
  words.insert(words.begin(), "xrupdate");
  static std::deque<std::vector<std::string>> kept;  // RunOptions points into the words
  kept.push_back(words);
  std::vector<char*> argv;
  for (std::string& word : kept.back()) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  RunOptions options;
  FILE* err = std::fopen("/dev/null", "w");
  EXPECT_EQ(parse_run_options(static_cast<int>(argv.size()) - 1, argv.data(), &options, err), 0);
  std::fclose(err);
  return options;
}

std::string fleet_record(const std::string& kind, const std::string& text) {
  return std::string(1, kRecordMark) + kind + "\t" + text;
}

TEST(FleetMembers, KeepTheOrderTheyWereNamedInWithPairsInPlace) {
  const RunOptions options = fleet_parsed({"--batch", "a.sys", "--midi-in", "i1", "--port", "/dev/a", "--midi-out", "o1",
                                     "--port", "COM2", "--midi-out", "o2", "--midi-in", "i2"});
  const std::vector<FleetMember> members = named_members(options);
  ASSERT_EQ(members.size(), 4u);
  EXPECT_EQ(members[0].label, "/dev/a");
  EXPECT_EQ(members[1].label, "MIDI o1 / i1");
  EXPECT_EQ(members[2].label, "COM2");
  EXPECT_EQ(members[3].label, "MIDI o2 / i2");
}

TEST(FleetMembers, EachRunGetsItsLinkItsNumberAndTheSharedOptionsOnly) {
  const RunOptions options = fleet_parsed({"--batch", "--port", "/dev/a", "--port", "/dev/b", "--rate", "2",
                                     "--skip-version-check", "--json", "--ini", "x.ini", "--", "-a.sys"});
  const std::vector<std::string> args = member_arguments(options, "/w/-a.sys", named_members(options)[1], 2);
  EXPECT_EQ(args, (std::vector<std::string>{"--batch", "--member", "2", "--port", "/dev/b", "--ini", "x.ini",
                                            "--rate", "2", "--skip-version-check", "--json", "--", "/w/-a.sys"}));
}

TEST(FleetMembers, RecordsAreReadAsValuesAndAnythingElseIsAnErrorLine) {
  EXPECT_EQ(read_member_line(fleet_record("1", "3: Update Complete!")).kind, MemberRecord::kStdoutLine);
  EXPECT_EQ(read_member_line(fleet_record("1", "3: Update Complete!")).text, "3: Update Complete!");
  const MemberRecord progress = read_member_line(fleet_record("P", "4\t32\t12\t37"));
  ASSERT_EQ(progress.kind, MemberRecord::kProgress);
  EXPECT_EQ(progress.done, 4);
  EXPECT_EQ(progress.total, 32);
  EXPECT_EQ(progress.percent, 12);
  EXPECT_EQ(progress.seconds_left, 37);
  const MemberRecord end = read_member_line(fleet_record("E", "5\t3\t32\tWrite Error\twith a tab"));
  ASSERT_EQ(end.kind, MemberRecord::kEnd);
  EXPECT_EQ(end.status, 5);
  EXPECT_EQ(end.text, "Write Error\twith a tab");
  for (const std::string& other : {std::string("xrupdate: cannot set up the signal handling"), fleet_record("P", "4\t32"),
                                   fleet_record("P", "4\t32\t12\tx"), fleet_record("E", "99999999999\t0\t0\t"),
                                   fleet_record("Z", "what")}) {
    const MemberRecord r = read_member_line(other);
    EXPECT_EQ(r.kind, MemberRecord::kStderrLine) << other;
    EXPECT_EQ(r.text, other);
  }
}

TEST(FleetMembers, TheViewLineShowsProgressThenTheEndWithinTheWidth) {
  const FleetMember member = serial_member("/dev/ttyUSB0");
  MemberState state;
  state.started = true;
  EXPECT_EQ(member_view_line(member, state, 79), "/dev/ttyUSB0  checking");
  state.done = 14, state.total = 32, state.percent = 43, state.seconds_left = 40;
  EXPECT_EQ(member_view_line(member, state, 79), "/dev/ttyUSB0  43%  Packet 14 of 32, about 0:40 left");
  EXPECT_EQ(member_view_line(member, state, 20), "/dev/ttyUSB0  43%  P");
  state.ended = true, state.status = 5, state.reason = "Write Error";
  EXPECT_EQ(member_view_line(member, state, 79), "/dev/ttyUSB0  device-error after 14 of 32 packets: Write Error");
  EXPECT_EQ(member_end_line(member, state), "[/dev/ttyUSB0] device-error after 14 of 32 packets: Write Error");
  state.status = 0, state.done = 32;
  EXPECT_EQ(member_end_line(member, state), "[/dev/ttyUSB0] complete, 32 of 32 packets");
}

}  // namespace
