// The serial link on Windows over COM1. Runs only where COM1 is a line served
// by the simulated instrument: scripts/wine-serial-tests.sh maps Wine's COM1 to
// a pseudo-terminal of xrsim and sets XR_WINE_COM1=1. Elsewhere these skip.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "link/serial_link.h"
#include "link/serial_port.h"
#include "tests/serial_cases.h"
#include "tests/test_support.h"

namespace {

WindowHandle const kWindow = reinterpret_cast<WindowHandle>(0x5E71A1);

bool com1_served() {
  const char* flag = std::getenv("XR_WINE_COM1");
  return flag != nullptr && std::strcmp(flag, "1") == 0;
}

// Wine opens a COM port as many times as asked, whatever the share mode; a
// Windows serial driver refuses a second open.
bool under_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class WinSerialLink : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!com1_served()) GTEST_SKIP() << "COM1 is not served by xrsim (set XR_WINE_COM1=1)";
  }
  void TearDown() override { free_comm(); }
  void open_com1() { ASSERT_EQ(1, set_comm(kWindow, 1, 38400)); }

  HostRecorder host_;
};

TEST_F(WinSerialLink, ProbeFindsCom1) {
  unsigned char status[4] = {9, 9, 9, 9};
  check_comm(status);
  EXPECT_EQ(1, status[0]);
  EXPECT_EQ(0, comm_is_open());
}

TEST_F(WinSerialLink, PortHeldElsewhereIsUnavailable) {
  if (under_wine()) GTEST_SKIP() << "Wine does not keep a COM port to one opener";
  PortHandle other = port_open(1);
  ASSERT_NE(kInvalidPort, other);
  unsigned char status[4];
  check_comm(status);
  EXPECT_EQ(0, status[0]);
  EXPECT_EQ(0, set_comm(kWindow, 1, 38400));
  ASSERT_EQ(1u, host_.boxes().size());
  const RecordedBox box = host_.boxes()[0];
  EXPECT_EQ("Comm Port Open Error!(CreateFile)", box.text);
  EXPECT_EQ("(null)", box.caption);
  EXPECT_EQ(static_cast<unsigned>(kMbOk | kMbSetForeground), box.style);
  EXPECT_EQ(kWindow, box.owner);
  EXPECT_EQ(0, comm_is_open());
  port_close(other);
  check_comm(status);
  EXPECT_EQ(1, status[0]);
}

TEST_F(WinSerialLink, OpensAtEachRate) {
  for (int baud : {38400, 57600}) {
    EXPECT_EQ(1, set_comm(kWindow, 1, baud)) << baud;
    free_comm();
  }
  EXPECT_TRUE(host_.boxes().empty());
}

TEST_F(WinSerialLink, VersionRequestGetsSixteenByteReply) {
  open_com1();
  serial_cases::version_exchange();
}

TEST_F(WinSerialLink, AReplyWaitingBeforeARequestIsDiscarded) {
  open_com1();
  serial_cases::reply_waiting_before_a_request_is_discarded();
}

TEST_F(WinSerialLink, NoiseBeforeTheStartIsSkipped) {
  open_com1();
  serial_cases::noise_before_start_skipped();
}

TEST_F(WinSerialLink, ZeroBeforeTheStartEndsWithTimeoutResult) {
  open_com1();
  serial_cases::zero_before_start_ends_wait();
}

TEST_F(WinSerialLink, ZeroInsideIsStored) {
  open_com1();
  serial_cases::zero_inside_stored();
}

TEST_F(WinSerialLink, ClockAndResetInsideAreDropped) {
  open_com1();
  serial_cases::clock_and_reset_inside_dropped();
}

TEST_F(WinSerialLink, LongReplyIsCutAtLengthAndItsRestDropped) {
  open_com1();
  serial_cases::long_reply_cut_and_rest_dropped();
}

TEST_F(WinSerialLink, FiveSecondsOfSilenceTimeOut) {
  open_com1();
  serial_cases::silence_times_out();
}

TEST_F(WinSerialLink, FreeCommTwiceIsHarmless) {
  open_com1();
  serial_cases::free_twice();
}

// Last: the instrument closes its line, and COM1 is gone afterwards.
TEST_F(WinSerialLink, ZHangUpEndsTheReceive) {
  open_com1();
  int result = 1;
  long long waited = 0;
  serial_cases::hang_up_ends_receive(&result, &waited);
  EXPECT_NE(1, result);
  EXPECT_LE(waited, 6000);
  // WriteFile on the dead line fails: the transfer's send is a "Transmit Error".
  serial_cases::send_on_dead_line_is_transmit_error(host_);
}

}  // namespace
