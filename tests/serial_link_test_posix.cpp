// The serial link over a real pseudo-terminal, with the simulated instrument
// serving the other side in a thread of the test.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "link/serial_baud_posix.h"
#include "link/serial_link.h"
#include "link/serial_port.h"
#include "sim/pty_server.h"
#include "support/settings.h"
#include "tests/serial_cases.h"
#include "tests/test_support.h"

namespace {

WindowHandle const kWindow = reinterpret_cast<WindowHandle>(0x5E71A1);
constexpr unsigned kBoxStyle = kMbOk | kMbSetForeground;

void set_device(int n, const std::string& path) {
  std::snprintf(com_device_path[n - 1], kComDevicePathSize, "%s", path.c_str());
}

// Saves and restores COM1..COM4's device paths; points them at paths that do
// not exist.
class ComPaths {
 public:
  ComPaths() {
    std::memcpy(saved_, com_device_path, sizeof saved_);
    for (int n = 1; n <= 4; ++n) set_device(n, "/nonexistent/xr-test-tty" + std::to_string(n));
  }
  ~ComPaths() { std::memcpy(com_device_path, saved_, sizeof saved_); }

 private:
  char saved_[4][kComDevicePathSize];
};

// COM1 is a pseudo-terminal served by the simulated instrument.
class SerialLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_EQ(1, pty_server_open(server_, nullptr, 0, &error)) << error;
    set_device(1, server_.path);
    sim_reset(sim_, SimConfig{});
    thread_ = std::thread([this] { end_ = pty_server_run(server_, sim_, false); });
  }
  void TearDown() override {
    free_comm();
    pty_server_stop(server_);
    if (thread_.joinable()) thread_.join();
    pty_server_close(server_);
  }
  void open_com1() { ASSERT_EQ(1, set_comm(kWindow, 1, 38400)); }

  ComPaths paths_;
  HostRecorder host_;
  PtyServer server_;
  SimInstrument sim_;
  std::thread thread_;
  PtyServeEnd end_ = kServeFailed;
};

TEST(SerialProbe, NoPortsPresentGivesAllZero) {
  ComPaths paths;
  unsigned char status[4] = {9, 9, 9, 9};
  check_comm(status);
  for (unsigned char s : status) EXPECT_EQ(0, s);
  EXPECT_EQ(0, comm_is_open());
}

TEST(SerialProbe, DeviceThatIsNotATerminalFailsAtGetCommState) {
  ComPaths paths;
  HostRecorder host;
  set_device(2, "/dev/null");
  unsigned char status[4];
  check_comm(status);
  EXPECT_EQ(0, status[1]);
  EXPECT_EQ(0, set_comm(kWindow, 2, 38400));
  ASSERT_EQ(1u, host.boxes().size());
  EXPECT_EQ("Comm Port Open Error!(GetCommState)", host.boxes()[0].text);
  EXPECT_EQ(0, comm_is_open());
}

TEST(SerialProbe, MissingPortFailsAtCreateFile) {
  ComPaths paths;
  HostRecorder host;
  EXPECT_EQ(0, set_comm(kWindow, 3, 38400));
  ASSERT_EQ(1u, host.boxes().size());
  const RecordedBox box = host.boxes()[0];
  EXPECT_EQ("Comm Port Open Error!(CreateFile)", box.text);
  EXPECT_EQ("(null)", box.caption);
  EXPECT_EQ(kBoxStyle, box.style);
  EXPECT_EQ(kWindow, box.owner);
  EXPECT_EQ(0, comm_is_open());
}

TEST(SerialProbe, PortNumbersOutsideOneToFourDoNotOpen) {
  ComPaths paths;
  HostRecorder host;
  EXPECT_EQ(0, set_comm(kWindow, 0, 38400));
  EXPECT_EQ(0, set_comm(kWindow, 5, 38400));
  EXPECT_EQ(2u, host.boxes().size());
}

TEST_F(SerialLinkTest, ProbeFindsOnlyThePresentPort) {
  unsigned char status[4] = {9, 9, 9, 9};
  check_comm(status);
  EXPECT_EQ((std::vector<unsigned char>{1, 0, 0, 0}), std::vector<unsigned char>(status, status + 4));
  EXPECT_EQ(0, comm_is_open());  // probing uses handles of its own
}

TEST_F(SerialLinkTest, PortHeldByAnotherProgramIsUnavailable) {
  int other = open(server_.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(0, flock(other, LOCK_EX | LOCK_NB));
  unsigned char status[4];
  check_comm(status);
  EXPECT_EQ(0, status[0]);
  EXPECT_EQ(0, set_comm(kWindow, 1, 38400));
  ASSERT_EQ(1u, host_.boxes().size());
  EXPECT_EQ("Comm Port Open Error!(CreateFile)", host_.boxes()[0].text);
  EXPECT_EQ(0, comm_is_open());
  // A copy that lost the race for the port is told why, beside the same box.
  std::string why;
  EXPECT_EQ(0, set_comm_device(kWindow, server_.path.c_str(), 38400, &why));
  EXPECT_EQ("Comm Port Open Error!(CreateFile): the port is in use by another program", why);
  ASSERT_EQ(2u, host_.boxes().size());
  EXPECT_EQ("Comm Port Open Error!(CreateFile)", host_.boxes()[1].text);
  close(other);
  check_comm(status);
  EXPECT_EQ(1, status[0]);
}

TEST_F(SerialLinkTest, OpenPortIsNotOpenedASecondTime) {
  open_com1();
  unsigned char status[4];
  check_comm(status);
  EXPECT_EQ(0, status[0]);
  PortHandle second = port_open(1);
  EXPECT_EQ(kInvalidPort, second);
  if (second != kInvalidPort) port_close(second);
  free_comm();
  // Closing gives the port back, exclusive flag and lock included.
  check_comm(status);
  EXPECT_EQ(1, status[0]);
  open_com1();
}

TEST_F(SerialLinkTest, SetCommSetsRawEightNoneOneAtTheRate) {
  open_com1();
  termios tio{};
  ASSERT_EQ(0, tcgetattr(server_.keep, &tio));
  EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE);
  EXPECT_EQ(0u, tio.c_cflag & (PARENB | CSTOPB));
  EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_EQ(0u, tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP));
  EXPECT_EQ(static_cast<speed_t>(B38400), cfgetospeed(&tio));
  free_comm();
  ASSERT_EQ(1, set_comm(kWindow, 1, 57600));
  ASSERT_EQ(0, tcgetattr(server_.keep, &tio));
  EXPECT_EQ(static_cast<speed_t>(B57600), cfgetospeed(&tio));
  free_comm();
  ASSERT_EQ(1, set_comm(kWindow, 1, 31250));  // no Bxxx constant: set through termios2
  EXPECT_EQ(31250, get_any_baud(server_.keep));
  free_comm();
  ASSERT_EQ(1, set_comm(kWindow, 1, 38400));
  EXPECT_EQ(38400, get_any_baud(server_.keep));
  EXPECT_TRUE(host_.boxes().empty());
}

TEST_F(SerialLinkTest, RefusedRateFailsAtSetCommState) {
  EXPECT_EQ(0, set_comm(kWindow, 1, 0));
  ASSERT_EQ(1u, host_.boxes().size());
  EXPECT_EQ("Comm Port Open Error!(SetCommState)", host_.boxes()[0].text);
  EXPECT_EQ(kBoxStyle, host_.boxes()[0].style);
  EXPECT_EQ(0, comm_is_open());
  // The port was closed again.
  unsigned char status[4];
  check_comm(status);
  EXPECT_EQ(1, status[0]);
}

TEST_F(SerialLinkTest, VersionRequestGetsSixteenByteReply) {
  open_com1();
  serial_cases::version_exchange();
}

TEST_F(SerialLinkTest, AReplyWaitingBeforeARequestIsDiscarded) {
  open_com1();
  serial_cases::reply_waiting_before_a_request_is_discarded();
}

TEST_F(SerialLinkTest, NoiseBeforeTheStartIsSkipped) {
  open_com1();
  serial_cases::noise_before_start_skipped();
}

TEST_F(SerialLinkTest, ZeroBeforeTheStartEndsWithTimeoutResult) {
  open_com1();
  serial_cases::zero_before_start_ends_wait();
}

TEST_F(SerialLinkTest, ZeroInsideIsStored) {
  open_com1();
  serial_cases::zero_inside_stored();
}

TEST_F(SerialLinkTest, ClockAndResetInsideAreDropped) {
  open_com1();
  serial_cases::clock_and_reset_inside_dropped();
}

TEST_F(SerialLinkTest, LongReplyIsCutAtLengthAndItsRestDropped) {
  open_com1();
  serial_cases::long_reply_cut_and_rest_dropped();
}

// A reply left in the line's queue (one that came after its time-out) is
// thrown away when the port opens again: the next receive gets the answer to
// the next request, not the stale one. The port's own line settings come back
// when it closes.
TEST_F(SerialLinkTest, OpeningDiscardsLeftoverInputAndClosingRestoresTheLine) {
  termios before{};
  ASSERT_EQ(0, tcgetattr(server_.keep, &before));
  before.c_lflag |= ECHO | ICANON;  // a terminal as a user's shell leaves it
  before.c_iflag |= ICRNL;
  cfsetospeed(&before, B9600);
  cfsetispeed(&before, B9600);
  ASSERT_EQ(0, tcsetattr(server_.keep, TCSANOW, &before));
  open_com1();
  serial_cases::say(serial_cases::kStatusOk);
  // Wait until the reply is in the line's queue, then close without reading.
  ASSERT_TRUE([&] {
    for (int i = 0; i < 500; ++i) {
      int queued = 0;
      if (ioctl(server_.keep, FIONREAD, &queued) == 0 && queued >= 7) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }());
  free_comm();
  termios after{};
  ASSERT_EQ(0, tcgetattr(server_.keep, &after));
  EXPECT_EQ(before.c_lflag & (ECHO | ICANON), after.c_lflag & (ECHO | ICANON));
  EXPECT_EQ(before.c_iflag & ICRNL, after.c_iflag & ICRNL);
  EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&after));

  // Raw again for the instrument's side before it answers anything more.
  cfmakeraw(&after);
  ASSERT_EQ(0, tcsetattr(server_.keep, TCSANOW, &after));
  open_com1();
  const serial_cases::Bytes fresh = {0xF0, 0x42, 0x23, 0x58, 0x03, 0x05, 0xF7};
  serial_cases::say(fresh);
  serial_cases::Received r = serial_cases::receive(16);
  ASSERT_EQ(1, r.result);
  EXPECT_EQ(fresh, serial_cases::head(r, 7));
}

TEST_F(SerialLinkTest, FiveSecondsOfSilenceTimeOut) {
  open_com1();
  serial_cases::silence_times_out();
}

TEST_F(SerialLinkTest, HangUpEndsTheReceiveAtOnce) {
  open_com1();
  int result = 1;
  long long waited = 0;
  serial_cases::hang_up_ends_receive(&result, &waited);
  EXPECT_EQ(0, result);
  EXPECT_LT(waited, 2000);
  if (thread_.joinable()) thread_.join();
  EXPECT_EQ(kServeClosed, end_);
  // A send on the dead line fails too.
  const unsigned char request[] = {0xF0, 0x42, 0x23, 0x58, 0x00, 0xF7};
  EXPECT_EQ(0, tx_data_comm(nullptr, request, 6));
  serial_cases::send_on_dead_line_is_transmit_error(host_);
}

TEST_F(SerialLinkTest, FreeCommTwiceIsHarmless) {
  open_com1();
  serial_cases::free_twice();
}

TEST_F(SerialLinkTest, ReceiveWithNoRoomFailsWithoutWriting) {
  open_com1();
  unsigned char byte = 0x55;
  EXPECT_EQ(0, rx_data_comm(nullptr, &byte, 0));
  EXPECT_EQ(0x55, byte);
}

}  // namespace
