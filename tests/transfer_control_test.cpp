// The transfer's control state as the stop dialog drives it.
#include <gtest/gtest.h>

#include "engine/transfer.h"

namespace {

struct StateGuard {
  ~StateGuard() { pause_status.store(kTfrIdle); }
};

TEST(TransferControl, SettersChangeOnlyFromTheirState) {
  StateGuard guard;
  pause_status.store(kTfrIdle);
  set_tfr_pause();
  set_tfr_restart();
  set_tfr_stop();
  EXPECT_EQ(pause_status.load(), kTfrIdle);
  EXPECT_EQ(query_tfr_stop(), 1);

  pause_status.store(kTfrRunning);
  EXPECT_EQ(query_tfr_stop(), 0);
  set_tfr_stop();  // a stop always goes through a pause
  EXPECT_EQ(pause_status.load(), kTfrRunning);
  set_tfr_restart();
  EXPECT_EQ(pause_status.load(), kTfrRunning);
  set_tfr_pause();
  EXPECT_EQ(pause_status.load(), kTfrPaused);
  set_tfr_pause();
  EXPECT_EQ(pause_status.load(), kTfrPaused);
  set_tfr_restart();
  EXPECT_EQ(pause_status.load(), kTfrRunning);
  set_tfr_pause();
  set_tfr_stop();
  EXPECT_EQ(pause_status.load(), kTfrStopRequested);
  set_tfr_restart();
  set_tfr_pause();
  EXPECT_EQ(pause_status.load(), kTfrStopRequested);
}

}  // namespace
