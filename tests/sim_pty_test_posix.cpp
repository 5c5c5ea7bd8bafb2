// The simulated instrument on a real pseudo-terminal, reached through the
// serial link: in a thread of the test, and as the xrsim tool.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/seven_bit.h"
#include "link/serial_link.h"
#include "sim/pty_server.h"
#include "support/settings.h"
#include "tests/test_support.h"

extern char** environ;

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

const Bytes kVersionRequest = {0xF0, 0x42, 0x23, 0x58, 0x00, 0xF7};
const Bytes kStatusOk = {0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7};

Bytes packet(const std::string& image, int number) {
  Bytes p(kSimPacketSize);
  const unsigned char head[] = {0xF0, 0x42, 0x23, 0x58, 0x04};
  std::memcpy(p.data(), head, 5);
  p[5] = static_cast<unsigned char>(number & 0x7F);
  p[6] = static_cast<unsigned char>((number >> 7) & 0x7F);
  unsigned char sum = 0;
  int packed = encode_midi(reinterpret_cast<const unsigned char*>(image.data()) + number * 8192,
                           &p[7], 8192, &sum);
  p[7 + packed] = sum;
  p[8 + packed] = 0xF7;
  return p;
}

// Sends a request over the link and returns the reply's first `n` bytes ({} when
// the receive did not return 1; *result gets its result).
Bytes request_reply(const Bytes& request, size_t n, int* result = nullptr) {
  int sent = tx_data_comm(nullptr, request.data(), static_cast<int>(request.size()));
  EXPECT_EQ(1, sent);
  unsigned char reply[16] = {};
  int got = rx_data_comm(nullptr, reply, 16);
  if (result != nullptr) *result = got;
  if (got != 1) return {};
  return Bytes(reply, reply + n);
}

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class ComPath {
 public:
  explicit ComPath(const std::string& path) {
    std::memcpy(saved_, com_device_path[0], sizeof saved_);
    std::snprintf(com_device_path[0], kComDevicePathSize, "%s", path.c_str());
  }
  ~ComPath() { std::memcpy(com_device_path[0], saved_, sizeof saved_); }

 private:
  char saved_[kComDevicePathSize];
};

// The instrument in a thread, on a fresh pseudo-terminal that COM1 points at.
class SimPtyTransfer : public ::testing::Test {
 protected:
  void start(const SimConfig& config, bool end_on_complete = false, int slow_size = 0, int slow_rate = 0) {
    std::string error;
    ASSERT_EQ(1, pty_server_open(server_, nullptr, 0, &error)) << error;
    server_.slow_size = slow_size;
    server_.slow_rate = slow_rate;
    path_ = std::make_unique<ComPath>(server_.path);
    sim_reset(sim_, config);
    thread_ = std::thread([this, end_on_complete] { end_ = pty_server_run(server_, sim_, end_on_complete); });
    ASSERT_EQ(1, set_comm(nullptr, 1, 38400));
  }
  // Ends the server; the record may be read afterwards.
  void finish() {
    free_comm();
    pty_server_stop(server_);
    if (thread_.joinable()) thread_.join();
  }
  void TearDown() override {
    finish();
    pty_server_close(server_);
  }

  HostRecorder host_;
  PtyServer server_;
  SimInstrument sim_;
  std::thread thread_;
  std::unique_ptr<ComPath> path_;
  PtyServeEnd end_ = kServeFailed;
};

TEST_F(SimPtyTransfer, WholeUpdateArrivesByteForByte) {
  TempDir dir;
  SimConfig config;
  config.image_path = dir.file("received.bin");
  config.versions = {{0x0109, 0x0102, 0x0103}};
  start(config, true);
  EXPECT_EQ((Bytes{0xF0, 0x42, 0x23, 0x58, 0x01, 0x09, 0x01}), request_reply(kVersionRequest, 7));
  EXPECT_EQ(kStatusOk, request_reply(kSetModeSystemMessage, 7));
  const std::string image = make_update_image(0, 1, 10, false, 7);
  for (int k = 0; k < 32; ++k) ASSERT_EQ(kStatusOk, request_reply(packet(image, k), 7)) << "packet " << k;
  thread_.join();
  EXPECT_EQ(kServeCompleted, end_);
  EXPECT_EQ(32, sim_.record.packets);
  EXPECT_EQ("", sim_.record.last_error);
  EXPECT_TRUE(read_file_bytes(config.image_path) == image);
}

TEST_F(SimPtyTransfer, NoiseAndLongReplyArePassedOverByTheLink) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("version", &config.noise_step));
  ASSERT_EQ(1, sim_parse_step("version", &config.long_step));
  config.long_fill = 0x22;
  start(config);
  EXPECT_EQ((Bytes{0xF0, 0x42, 0x23, 0x58, 0x01}), request_reply(kVersionRequest, 5));
  // The reply's four bytes beyond 16 are dropped by the next receive.
  EXPECT_EQ(kStatusOk, request_reply(kSetModeSystemMessage, 7));
}

TEST_F(SimPtyTransfer, LongReplyPaddedWithZerosEndsTheNextReceive) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("version", &config.long_step));
  start(config);
  EXPECT_EQ(5u, request_reply(kVersionRequest, 5).size());
  unsigned char rest[16] = {};
  EXPECT_EQ(-1, rx_data_comm(nullptr, rest, 16));  // the leftover 0x00 comes before any start
}

// A reply sent twice: the second stays on the line until the next request
// throws it away, and that request gets its own reply.
TEST_F(SimPtyTransfer, DuplicatedReplyIsThrownAwayByTheNextRequest) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("version", &config.duplicate_step));
  start(config);
  EXPECT_EQ(5u, request_reply(kVersionRequest, 5).size());
  EXPECT_EQ(kStatusOk, request_reply(kSetModeSystemMessage, 7));
}

TEST_F(SimPtyTransfer, ReplyDelayIsKept) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("setmode", &config.delay_step));
  config.delay_ms = 300;
  start(config);
  Clock::time_point begin = Clock::now();
  EXPECT_EQ(kStatusOk, request_reply(kSetModeSystemMessage, 7));
  EXPECT_GE(ms_since(begin), 300);
}

TEST_F(SimPtyTransfer, LineSpeedPacesTheBytes) {
  SimConfig config;
  config.line_baud = 2400;  // 4.17 ms a byte
  start(config);
  Clock::time_point begin = Clock::now();
  EXPECT_EQ(7u, request_reply(kVersionRequest, 7).size());
  EXPECT_GE(ms_since(begin), 6 * 4 + 16 * 4);  // 6 bytes in, 16 out
}

// A slow instrument: a packet sent at once overruns a 256-byte input buffer
// and is not answered; one that fits the buffer is taken at the set rate.
TEST_F(SimPtyTransfer, SlowInstrumentLosesWhatOverrunsItsInputBuffer) {
  start(SimConfig{}, false, 256, 20000);
  EXPECT_EQ(kStatusOk, request_reply(kSetModeSystemMessage, 7));
  EXPECT_EQ(0, server_.overruns.load());
  const std::string image = make_update_image(0, 1, 0);
  ASSERT_EQ(1, tx_data_comm(nullptr, packet(image, 0).data(), kSimPacketSize));
  // Its buffer takes 256 bytes, and it drains at 20000 bytes a second while the
  // packet is read off the line; how long that read takes depends on the
  // machine's load, so only most of the rest must be lost.
  const int most = kSimPacketSize / 2;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (server_.overruns.load() < most && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(server_.overruns.load(), most);
  EXPECT_LE(server_.overruns.load(), kSimPacketSize - 256);
  finish();
  EXPECT_EQ(0, sim_.record.packets);
}

TEST_F(SimPtyTransfer, SlowInstrumentWithRoomTakesAWholePacketAtItsRate) {
  start(SimConfig{}, false, 16384, 40000);
  EXPECT_EQ(kStatusOk, request_reply(kSetModeSystemMessage, 7));
  const std::string image = make_update_image(0, 1, 0);
  Clock::time_point begin = Clock::now();
  EXPECT_EQ(kStatusOk, request_reply(packet(image, 0), 7));
  EXPECT_GE(ms_since(begin), 1000 * kSimPacketSize / 40000 - 10);
  EXPECT_EQ(0, server_.overruns.load());
}

TEST_F(SimPtyTransfer, StatusAtPacketReachesTheLink) {
  SimConfig config;
  config.setmode_status = 4;
  start(config);
  EXPECT_EQ((Bytes{0xF0, 0x42, 0x23, 0x58, 0x03, 0x04, 0xF7}), request_reply(kSetModeSystemMessage, 7));
}

TEST_F(SimPtyTransfer, LineClosedMidUpdate) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("packet:1", &config.close_step));
  start(config);
  const std::string image = make_update_image(0, 1, 0);
  EXPECT_EQ(kStatusOk, request_reply(kSetModeSystemMessage, 7));
  EXPECT_EQ(kStatusOk, request_reply(packet(image, 0), 7));
  Clock::time_point begin = Clock::now();
  int result = 1;
  request_reply(packet(image, 1), 7, &result);
  EXPECT_EQ(0, result);
  EXPECT_LT(ms_since(begin), 2000);
  thread_.join();
  EXPECT_EQ(kServeClosed, end_);
}

TEST_F(SimPtyTransfer, SilentStepIsNotAnswered) {
  // The link's silence test covers the 5 s wait; here the step goes unanswered
  // and the instrument goes on with the next request.
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("version", &config.silent_step));
  start(config);
  ASSERT_EQ(1, tx_data_comm(nullptr, kVersionRequest.data(), 6));
  EXPECT_EQ(kStatusOk, request_reply(kSetModeSystemMessage, 7));
  finish();
  EXPECT_EQ(1, sim_.record.version_requests);
}

// The xrsim tool.

std::string xrsim_path() { return std::string(XR_BINARY_DIR) + "/xrsim"; }

struct Child {
  pid_t pid = -1;
  int out = -1;  // its stdout
};

Child spawn_xrsim(const std::vector<std::string>& args) {
  Child child;
  int pipefd[2];
  if (pipe(pipefd) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipefd[0]);
  std::vector<std::string> all = {xrsim_path()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  child.out = pipefd[0];
  return child;
}

// Reads the child's stdout until it ends or the deadline passes.
std::string read_output(int fd, int deadline_ms, bool first_line_only) {
  std::string text;
  Clock::time_point begin = Clock::now();
  while (ms_since(begin) < deadline_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c;
    if (read(fd, &c, 1) != 1) break;
    text += c;
    if (first_line_only && c == '\n') break;
  }
  return text;
}

// Waits for the child's end; its exit status, or -1 when it had to be killed.
int wait_exit(pid_t pid, int deadline_ms) {
  Clock::time_point begin = Clock::now();
  int status = 0;
  while (ms_since(begin) < deadline_ms) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

TEST(SimTool, HelpNamesEveryOption) {
  Child child = spawn_xrsim({"--help"});
  ASSERT_GT(child.pid, 0);
  std::string help = read_output(child.out, 5000, false);
  close(child.out);
  EXPECT_EQ(0, wait_exit(child.pid, 5000));
  for (const char* option :
       {"--tty", "--baud", "--line-speed", "--system-version", "--user-version", "--pcm-version",
        "--image", "--exit-on-complete", "--setmode-status", "--status", "--silent", "--noise",
        "--long-reply", "--bad-byte", "--delay", "--close", "--trace", "--help"}) {
    EXPECT_NE(std::string::npos, help.find(option)) << option;
  }
}

TEST(SimTool, BadOptionIsRefused) {
  Child child = spawn_xrsim({"--status", "packet:x:1"});
  ASSERT_GT(child.pid, 0);
  close(child.out);
  EXPECT_EQ(64, wait_exit(child.pid, 5000));
}

TEST(SimTool, ServesAWholeUpdateAndExitsWhenComplete) {
  TempDir dir;
  HostRecorder host;
  Child child = spawn_xrsim({"--image", dir.file("got.bin"), "--exit-on-complete",
                             "--system-version", "1.09"});
  ASSERT_GT(child.pid, 0);
  std::string line = read_output(child.out, 5000, true);
  ASSERT_FALSE(line.empty());
  ASSERT_EQ('\n', line.back());
  line.pop_back();
  ComPath path(line);
  ASSERT_EQ(1, set_comm(nullptr, 1, 38400));
  EXPECT_EQ((Bytes{0xF0, 0x42, 0x23, 0x58, 0x01, 0x09, 0x01}), request_reply(kVersionRequest, 7));
  // The port is closed and opened again between transfers: the line stays.
  free_comm();
  ASSERT_EQ(1, set_comm(nullptr, 1, 38400));
  EXPECT_EQ(kStatusOk, request_reply(kSetModeSystemMessage, 7));
  const std::string image = make_update_image(0, 2, 0, false, 3);
  for (int k = 0; k < 32; ++k) ASSERT_EQ(kStatusOk, request_reply(packet(image, k), 7)) << "packet " << k;
  free_comm();
  EXPECT_EQ(0, wait_exit(child.pid, 5000));
  close(child.out);
  EXPECT_TRUE(read_file_bytes(dir.file("got.bin")) == image);
}

TEST(SimTool, ServesAGivenTerminal) {
  // The test holds a pseudo-terminal's master side; xrsim serves its slave.
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  char name[128];
  ASSERT_EQ(0, ptsname_r(master, name, sizeof name));
  Child child = spawn_xrsim({"--tty", name, "--baud", "31250", "--pcm-version", "0x0A0B"});
  ASSERT_GT(child.pid, 0);
  EXPECT_EQ(std::string(name) + "\n", read_output(child.out, 5000, true));
  ASSERT_EQ(6, write(master, kVersionRequest.data(), 6));
  Bytes reply;
  Clock::time_point begin = Clock::now();
  while (reply.size() < 16 && ms_since(begin) < 5000) {
    pollfd p{master, POLLIN, 0};
    unsigned char buf[32];
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) reply.insert(reply.end(), buf, buf + n);
  }
  ASSERT_EQ(16u, reply.size());
  EXPECT_EQ(0x0B, reply[9]);
  EXPECT_EQ(0x0A, reply[10]);
  kill(child.pid, SIGTERM);
  EXPECT_EQ(0, wait_exit(child.pid, 5000));
  close(child.out);
  close(master);
}

TEST(SimTool, TerminateSignalEndsIt) {
  Child child = spawn_xrsim({});
  ASSERT_GT(child.pid, 0);
  std::string line = read_output(child.out, 5000, true);
  EXPECT_EQ(0u, line.rfind("/dev/", 0));
  kill(child.pid, SIGTERM);
  EXPECT_EQ(0, wait_exit(child.pid, 5000));
  close(child.out);
}

}  // namespace
