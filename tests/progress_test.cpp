#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ui/progress.h"

namespace {
std::string text_of(const ProgressState& state) {
  char out[64];
  progress_text(&state, out, sizeof out);
  return out;
}
}  // namespace

TEST(ProgressParse, ReadsThePacketNumberOfTheTransferLine) {
  char line[80];
  std::snprintf(line, sizeof line, "Tx Packet:%3d : %02x %02x %02x %02x %02x %02x %02x", 7, 0xf0, 0x42,
                0x23, 0x58, 0x03, 0, 0);
  EXPECT_EQ(progress_packet_from_line(line), 7);
  EXPECT_EQ(progress_packet_from_line("Tx Packet:127 : f0 42 23 58 03 00 00"), 127);
  EXPECT_EQ(progress_packet_from_line("Tx Packet:  0 : f0"), 0);
  EXPECT_EQ(progress_packet_from_line("Set Mode : f0 42 23 58 03 00 00"), -1);
  EXPECT_EQ(progress_packet_from_line("Target : System:1 / User:2 / PCM:3 "), -1);
  EXPECT_EQ(progress_packet_from_line("Tx Packet:"), -1);
  EXPECT_EQ(progress_packet_from_line("Tx Packet: 12"), -1);
  EXPECT_EQ(progress_packet_from_line("Tx Packet:99999999999999 : "), -1);
  EXPECT_EQ(progress_packet_from_line(" "), -1);
  EXPECT_EQ(progress_packet_from_line(""), -1);
}

TEST(ProgressCount, TotalIsTheFileSizeInBlocks) {
  EXPECT_EQ(progress_total_packets(32 * 8192), 32);
  EXPECT_EQ(progress_total_packets(128 * 8192), 128);
  EXPECT_EQ(progress_total_packets(0), 0);
  EXPECT_EQ(progress_total_packets(-5), 0);
}

TEST(ProgressText, CountsPacketsAndEstimatesTheTimeLeft) {
  ProgressState state;
  progress_reset(&state);
  EXPECT_EQ(text_of(state), "");
  progress_begin(&state, 32 * 8192, 1000);
  EXPECT_EQ(text_of(state), "Packet 0 of 32");
  EXPECT_EQ(progress_fill(&state, 320), 0);
  // Only line 2 counts.
  EXPECT_EQ(progress_line(&state, 3, "Tx Packet:  3 : ", 2000), 0);
  EXPECT_EQ(progress_line(&state, 2, "Set Mode : 00", 2000), 0);
  // First packet after 2 s: 31 left at 2 s each.
  EXPECT_EQ(progress_line(&state, 2, "Tx Packet:  0 : f0 42 23 58 03 00 00", 3000), 1);
  EXPECT_EQ(text_of(state), "Packet 1 of 32, about 1:02 left");
  EXPECT_EQ(progress_fill(&state, 320), 10);
  progress_line(&state, 2, "Tx Packet: 31 : f0 42 23 58 03 00 00", 9000);
  EXPECT_EQ(text_of(state), "Packet 32 of 32, about 0:00 left");
  EXPECT_EQ(progress_fill(&state, 320), 320);
  progress_end(&state);
  EXPECT_EQ(text_of(state), "");
  EXPECT_EQ(progress_fill(&state, 320), 0);
}

TEST(ProgressText, PacketNumbersBeyondTheTotalAreCapped) {
  ProgressState state;
  progress_reset(&state);
  progress_begin(&state, 32 * 8192, 0);
  progress_line(&state, 2, "Tx Packet:500 : ", 100);
  EXPECT_EQ(state.done, 32);
  EXPECT_EQ(progress_fill(&state, 100), 100);
}

TEST(ProgressText, LinesBeforeTheBeginAreIgnoredAndSmallBuffersAreSafe) {
  ProgressState state;
  progress_reset(&state);
  EXPECT_EQ(progress_line(&state, 2, "Tx Packet:  1 : ", 10), 0);
  progress_begin(&state, 128 * 8192, 0);
  progress_line(&state, 2, "Tx Packet:  9 : ", 60000);
  char small[8];
  const int length = progress_text(&state, small, sizeof small);
  EXPECT_EQ(length, 7);
  EXPECT_STREQ(small, "Packet ");
}
