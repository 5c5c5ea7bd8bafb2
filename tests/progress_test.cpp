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
  // First packet after 2 s: 31 left at 2 s each.
  EXPECT_EQ(progress_update(&state, 1, 3000), 1);
  EXPECT_EQ(text_of(state), "Packet 1 of 32, about 1:02 left");
  EXPECT_EQ(progress_fill(&state, 320), 10);
  EXPECT_EQ(progress_percent(&state), 3);
  EXPECT_EQ(progress_update(&state, 1, 3500), 0);  // no further
  progress_update(&state, 32, 9000);
  EXPECT_EQ(text_of(state), "Packet 32 of 32, about 0:00 left");
  EXPECT_EQ(progress_fill(&state, 320), 320);
  EXPECT_EQ(progress_percent(&state), 100);
  progress_end(&state);
  EXPECT_EQ(text_of(state), "");
  EXPECT_EQ(progress_fill(&state, 320), 0);
}

// A stall early in the run weighs on the estimate only while it is recent.
TEST(ProgressText, TimeLeftFollowsTheRecentRate) {
  ProgressState state;
  progress_reset(&state);
  progress_begin(&state, 128 * 8192, 0);
  progress_update(&state, 1, 100);
  progress_update(&state, 2, 4100);  // a 4 s stall
  for (int k = 3; k <= 20; ++k) progress_update(&state, k, 4100 + (k - 2) * 100);
  // 108 packets left at the last packets' 0.1 s each: about 11 s, not 39 s more.
  EXPECT_EQ(text_of(state), "Packet 20 of 128, about 0:11 left");
}

TEST(ProgressText, CountsBeyondTheTotalAreCappedAndSmallBuffersAreSafe) {
  ProgressState state;
  progress_reset(&state);
  EXPECT_EQ(progress_update(&state, 1, 10), 0);  // before the data packets begin
  progress_begin(&state, 32 * 8192, 0);
  progress_update(&state, 500, 100);
  EXPECT_EQ(state.done, 32);
  EXPECT_EQ(progress_fill(&state, 100), 100);
  progress_begin(&state, 128 * 8192, 0);
  progress_update(&state, 10, 60000);
  char small[8];
  const int length = progress_text(&state, small, sizeof small);
  EXPECT_EQ(length, 7);
  EXPECT_STREQ(small, "Packet ");
}
