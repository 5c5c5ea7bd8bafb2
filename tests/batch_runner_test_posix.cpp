// The headless runner and --emit-syx, run as the built program against the
// simulated instrument on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/device_protocol.h"
#include "sim/instrument.h"
#include "sim/pty_server.h"
#include "tests/test_support.h"

extern char** environ;

namespace {

const std::string kProgram = std::string(XR_BINARY_DIR) + "/xrupdate";

struct ProgramRun {
  int status = -1;
  std::string out, err;
};

// How a run is driven from outside: what happens to its streams and when.
struct RunOptions {
  // Called with the program's stdout so far (and its pid) until it returns true.
  std::function<bool(const std::string& out, pid_t pid)> act_when;
  bool signal_once_caught = false;  // SIGINT as soon as the program catches it
  std::string close_stdout_after;   // the reader of stdout goes away once it holds this
  bool no_standard_streams = false; // started with descriptors 0, 1 and 2 closed
  bool as_nobody = false;           // run as uid and gid 65534 (when this process is root)
};

// Whether `pid` has a handler for `signal_number` (the SigCgt mask in /proc).
bool catches(pid_t pid, int signal_number) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 7, "SigCgt:") != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    return (mask >> (signal_number - 1)) & 1;
  }
  return false;
}

ProgramRun run_program(const std::vector<std::string>& args, const RunOptions& options) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.no_standard_streams) {
    for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addclose(&actions, fd);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  }
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
  posix_spawn_file_actions_addclose(&actions, out_pipe[1]);
  posix_spawn_file_actions_addclose(&actions, err_pipe[1]);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(kProgram.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = 0;
  if (options.as_nobody && geteuid() == 0) {
    pid = fork();
    if (pid == 0) {
      dup2(out_pipe[1], 1);
      dup2(err_pipe[1], 2);
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
      execve(kProgram.c_str(), argv.data(), environ);
      _exit(127);
    }
    spawned = pid < 0 ? errno : 0;
  } else {
    spawned = posix_spawn(&pid, kProgram.c_str(), &actions, nullptr, argv.data(), environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  ProgramRun run;
  if (spawned != 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  if (options.signal_once_caught) {
    while (!catches(pid, SIGINT) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kill(pid, SIGINT);
  }
  bool acted = !options.act_when;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  while (open_fds > 0 && std::chrono::steady_clock::now() < deadline) {
    if (!acted) acted = options.act_when(run.out, pid);
    if (poll(fds, 2, 20) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
        continue;
      }
      (i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(n));
    }
    if (fds[0].fd >= 0 && !options.close_stdout_after.empty() &&
        run.out.find(options.close_stdout_after) != std::string::npos) {
      close(fds[0].fd);  // as `| head` does once it has its lines
      fds[0].fd = -1;
      --open_fds;
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int status = 0;
  if (open_fds > 0) kill(pid, SIGKILL);  // past the deadline
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// Runs the program; sends it `signal_number` once its stdout holds `signal_after`.
ProgramRun run_program(const std::vector<std::string>& args, const std::string& signal_after = "",
                       int signal_number = SIGINT) {
  RunOptions options;
  if (!signal_after.empty()) {
    options.act_when = [signal_after, signal_number](const std::string& out, pid_t pid) {
      if (out.find(signal_after) == std::string::npos) return false;
      kill(pid, signal_number);
      return true;
    };
  }
  return run_program(args, options);
}

// Messages that have reached the instrument served by the fixture (their end
// bytes: F7 occurs in no packed data byte), counted on the server's thread.
std::atomic<int> g_messages_in{0};
void count_messages_in(char direction, const unsigned char* bytes, int n) {
  if (direction != '<') return;
  for (int i = 0; i < n; ++i) {
    if (bytes[i] == 0xF7) ++g_messages_in;
  }
}

class BatchRunner : public ::testing::Test {
 protected:
  TempDir dir;
  PtyServer server;
  SimInstrument sim;
  std::thread serving;
  bool serving_started = false;

  void TearDown() override { stop_sim(); }

  void start_sim(SimConfig config) {
    std::string error;
    ASSERT_EQ(pty_server_open(server, nullptr, 38400, &error), 1) << error;
    config.image_path = dir.file("received.img");
    sim_reset(sim, config);
    g_messages_in = 0;
    serving = std::thread([this] { pty_server_run(server, sim, false, count_messages_in); });
    serving_started = true;
    write_file_bytes(dir.file("x.ini"), "[XR3300/R SystemUpdate Utility]\r\nCom1Device=" + server.path + "\r\n");
  }

  void stop_sim() {
    if (!serving_started) return;
    pty_server_stop(server);
    serving.join();
    pty_server_close(server);
    serving_started = false;
  }
};

TEST_F(BatchRunner, CompleteUpdate) {
  start_sim(SimConfig{});
  const std::string image = make_update_image(0, 2, 0);
  write_file_bytes(dir.file("a.sys"), image);
  const ProgramRun run = run_program({"--batch", "--ini", "x.ini", "a.sys"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("xrupdate: link: COM1 (" + server.path + ") at 38400 baud\n"), std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("0: " + dir.path()), std::string::npos);
  EXPECT_NE(run.out.find("1: FILE : Type=SYSTEM , Version=2.00\n"), std::string::npos);
  EXPECT_NE(run.out.find("2: Tx Packet: 31 : f0 42 23 58 03 00 f7\n3: Update Complete!\n"), std::string::npos);
  stop_sim();
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image);
  // The settings were saved at the end, with the device path kept.
  const std::string ini = read_file_bytes(dir.file("x.ini"));
  EXPECT_NE(ini.find("ComBaudRate=38400"), std::string::npos);
  EXPECT_NE(ini.find("Com1Device=" + server.path), std::string::npos);
  EXPECT_NE(read_file_bytes(dir.file("vup_log.txt")).find("Update completed successfully."), std::string::npos);
}

TEST_F(BatchRunner, ExitStatusesNameTheFailure) {
  SimConfig config;
  config.versions = {0x0300, 0x0100, 0x0100};
  config.status_step = {SimStep::kPacket, 2};
  config.status_value = 2;
  start_sim(config);
  write_file_bytes(dir.file("old.sys"), make_update_image(0, 2, 0));
  write_file_bytes(dir.file("pcm.pcm"), make_update_image(1, 2, 0));
  write_file_bytes(dir.file("bad.sys"), "PELD");

  ProgramRun run = run_program({"--batch", "--ini", "x.ini", "old.sys"});
  EXPECT_EQ(run.status, 6) << run.out;
  EXPECT_NE(run.out.find("3: Version check failed. The XR3300 already has"), std::string::npos);

  run = run_program({"--batch", "--ini", "x.ini", "pcm.pcm"});
  EXPECT_EQ(run.status, 5) << run.out;
  EXPECT_NE(run.out.find("3: Rx Msg Error(5:Checksum Error)"), std::string::npos);

  run = run_program({"--batch", "--ini", "x.ini", "bad.sys"});
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.err.find("Error: Illegal Product_ID"), std::string::npos) << run.err;

  run = run_program({"--batch", "--ini", "x.ini", "missing.sys"});
  EXPECT_EQ(run.status, 2);
  run = run_program({"--batch"});
  EXPECT_EQ(run.status, 2);
}

// A message of the start-up (here: the folder of the last run is gone) is no
// refusal of the file: a device error afterwards still exits 5.
TEST_F(BatchRunner, AStartupMessageDoesNotChangeTheExitStatus) {
  SimConfig config;
  config.status_step = {SimStep::kPacket, 1};
  config.status_value = 4;
  start_sim(config);
  write_file_bytes(dir.file("x.ini"), "[XR3300/R SystemUpdate Utility]\r\nCom1Device=" + server.path +
                                          "\r\nCurrentPath=" + dir.path() + "/gone\r\n");
  write_file_bytes(dir.file("a.sys"), make_update_image(0, 2, 0));
  const ProgramRun run = run_program({"--batch", "--ini", dir.file("x.ini"), dir.file("a.sys")});
  EXPECT_NE(run.err.find("Failed to change current directory that was used before."), std::string::npos)
      << run.err;
  EXPECT_EQ(run.status, 5) << run.out;
  EXPECT_NE(run.out.find("3: Rx Msg Error(5:Hardware Error)"), std::string::npos);
}

// The support log cannot be made (a folder holds its name): the start-up
// warning is told, and the update runs to its end all the same.
TEST_F(BatchRunner, ALogThatCannotBeCreatedIsToldAndTheUpdateGoesOn) {
  start_sim(SimConfig{});
  ASSERT_EQ(mkdir(dir.file("vup_log.txt").c_str(), 0755), 0);
  const std::string image = make_update_image(0, 2, 0);
  write_file_bytes(dir.file("a.sys"), image);
  const ProgramRun run = run_program({"--batch", "--ini", "x.ini", "a.sys"});
  EXPECT_NE(run.err.find("XR3300/R SystemUpdate Utility: Failed to create log file. The application will not "
                         "be able to record support information.\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("The application will continue correctly."), std::string::npos) << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("3: Update Complete!"), std::string::npos);
  stop_sim();
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image);
}

// The configured port is not exchanged for another one (with two instruments
// connected that would update the wrong one): the run ends with exit 4 and
// says which device did not open and why.
TEST_F(BatchRunner, ConfiguredPortThatDoesNotOpenIsNamedAndNotReplaced) {
  start_sim(SimConfig{});
  write_file_bytes(dir.file("a.sys"), make_update_image(0, 2, 0));
  write_file_bytes(dir.file("x.ini"), "[XR3300/R SystemUpdate Utility]\r\nCom1Device=/nonexistent/tty\r\n"
                                      "Com2Device=" + server.path + "\r\n");
  ProgramRun run = run_program({"--batch", "--ini", "x.ini", "a.sys"});
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_NE(run.err.find("The serial port COM1 (/nonexistent/tty) does not exist.\nNo other port is used."),
            std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("link:"), std::string::npos) << run.err;
  EXPECT_NE(read_file_bytes(dir.file("vup_log.txt"))
                .find("Update Failed : The serial port COM1 (/nonexistent/tty) does not exist"),
            std::string::npos);
  const std::string ini = read_file_bytes(dir.file("x.ini"));
  EXPECT_NE(ini.find("DeviceType=0"), std::string::npos) << ini;
  EXPECT_NE(ini.find("ComPortNum=1"), std::string::npos) << ini;

  // Held by another program.
  write_file_bytes(dir.file("x.ini"), "[XR3300/R SystemUpdate Utility]\r\nCom1Device=" + server.path + "\r\n");
  const int holder = open(server.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  run = run_program({"--batch", "--ini", "x.ini", "a.sys"});
  close(holder);
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_NE(run.err.find("COM1 (" + server.path + ") is in use by another program"), std::string::npos) << run.err;

  // No port at all: still the configured port's reason, not the MIDI link's.
  write_file_bytes(dir.file("x.ini"), "[XR3300/R SystemUpdate Utility]\r\nCom1Device=/nonexistent/tty\r\n"
                                      "Com2Device=/nonexistent/tty\r\nCom3Device=/nonexistent/tty\r\n"
                                      "Com4Device=/nonexistent/tty\r\n");
  run = run_program({"--batch", "--ini", "x.ini", "a.sys"});
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_EQ(run.err.find("Midi"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("COM1 (/nonexistent/tty) does not exist"), std::string::npos) << run.err;
  stop_sim();
  EXPECT_EQ(sim.record.messages, 0);
}

// `| head -n 20`, and a start with no standard streams at all: the update goes
// on to its end, and nothing meant for them lands in a file.
TEST_F(BatchRunner, ClosedOutputNeverEndsOrChangesTheUpdate) {
  start_sim(SimConfig{});
  const std::string image = make_update_image(0, 2, 0);
  write_file_bytes(dir.file("a.sys"), image);
  RunOptions head;
  head.close_stdout_after = "Tx Packet:  2";
  ProgramRun run = run_program({"--batch", "--ini", "x.ini", "a.sys"}, head);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(read_file_bytes(dir.file("vup_log.txt")).find("Update completed successfully."), std::string::npos);

  RunOptions closed;
  closed.no_standard_streams = true;
  run = run_program({"--batch", "--ini", "x.ini", "a.sys"}, closed);
  EXPECT_EQ(run.status, 0);
  const std::string log = read_file_bytes(dir.file("vup_log.txt"));
  EXPECT_EQ(log.find("link:"), std::string::npos);
  EXPECT_EQ(log.find("Tx Packet"), std::string::npos);
  stop_sim();
  EXPECT_EQ(sim.record.updates_completed, 2);
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image);
}

// A stop asked for before the data packets: nothing more goes out, so the
// instrument is not left in update mode by a program that was told to stop.
TEST_F(BatchRunner, StopBeforeTheDataPacketsSendsNothingMore) {
  SimConfig held_version;
  held_version.delay_step = {SimStep::kVersion, 0};
  held_version.delay_ms = 3000;
  start_sim(held_version);
  write_file_bytes(dir.file("a.sys"), make_update_image(0, 2, 0));
  const std::string log_path = dir.file("vup_log.txt");
  // Once the instrument has the run's n-th message, while its reply is held.
  auto interrupt_once_received = [](int n) {
    RunOptions options;
    options.act_when = [n](const std::string&, pid_t pid) {
      if (g_messages_in < n) return false;
      kill(pid, SIGINT);
      return true;
    };
    return options;
  };

  RunOptions at_once;  // as early as the program can take the signal
  at_once.signal_once_caught = true;
  ProgramRun run = run_program({"--batch", "--ini", "x.ini", "a.sys"}, at_once);
  EXPECT_EQ(run.status, 7) << run.err;

  // While the version reply is held: the stop ends the receive at once, as on
  // the MIDI link, without waiting for the reply.
  run = run_program({"--batch", "--ini", "x.ini", "a.sys"}, interrupt_once_received(1));
  EXPECT_EQ(run.status, 7) << run.err;
  EXPECT_EQ(run.out.find("Target :"), std::string::npos) << run.out;
  stop_sim();
  EXPECT_EQ(sim.record.version_requests, 1);  // the second run's only
  EXPECT_EQ(sim.record.setmodes, 0);
  EXPECT_EQ(sim.record.packets, 0);

  // While the Set Mode reply is held: Set Mode is out, packet 0 is not sent.
  SimConfig held_setmode;
  held_setmode.delay_step = {SimStep::kSetMode, 0};
  held_setmode.delay_ms = 3000;
  start_sim(held_setmode);
  run = run_program({"--batch", "--ini", "x.ini", "a.sys"}, interrupt_once_received(2));
  EXPECT_EQ(run.status, 7) << run.err;
  EXPECT_EQ(run.out.find("Set Mode :"), std::string::npos) << run.out;
  // Set Mode went out: the instrument may wait in update mode, and the run says so.
  EXPECT_NE(run.err.find("aborted after Set Mode went out"), std::string::npos) << run.err;
  stop_sim();
  EXPECT_EQ(sim.record.setmodes, 1);
  EXPECT_EQ(sim.record.packets, 0);
  const std::string log = read_file_bytes(log_path);
  size_t aborts = 0;
  for (size_t at = log.find("User aborted update"); at != std::string::npos;
       at = log.find("User aborted update", at + 1)) {
    ++aborts;
  }
  EXPECT_EQ(aborts, 3u) << log;
}

TEST_F(BatchRunner, InterruptAborts) {
  start_sim(SimConfig{});
  write_file_bytes(dir.file("a.sys"), make_update_image(0, 2, 0));
  const ProgramRun run = run_program({"--batch", "--ini", "x.ini", "a.sys"}, "Tx Packet:  2");
  EXPECT_EQ(run.status, 7) << run.err;
  EXPECT_EQ(run.out.find("Update Complete!"), std::string::npos);
  EXPECT_NE(read_file_bytes(dir.file("vup_log.txt")).find("User aborted update"), std::string::npos);
}

// xrsim as its own process, so that it can be stopped with SIGSTOP.
struct XrsimProcess {
  pid_t pid = -1;
  std::string path;  // the pseudo-terminal it serves

  bool start(const std::vector<std::string>& options) {
    const std::string program = std::string(XR_BINARY_DIR) + "/xrsim";
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& o : options) argv.push_back(const_cast<char*>(o.c_str()));
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char c = 0;
    while (spawned == 0 && read(out[0], &c, 1) == 1 && c != '\n') path += c;
    close(out[0]);
    return spawned == 0 && !path.empty();
  }
  ~XrsimProcess() {
    if (pid <= 0) return;
    kill(pid, SIGCONT);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
};

// Bytes waiting on the line for the program, seen from a second opening of the
// line that reads nothing.
int queued_for_program(const std::string& tty) {
  const int fd = open(tty.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  int queued = 0;
  if (ioctl(fd, FIONREAD, &queued) != 0) queued = -1;
  close(fd);
  return queued;
}

// The instrument stops answering for longer than the time-out, then sends its
// late reply after the program has given up: the next update must not take
// that reply for the answer to its own first request.
TEST(BatchRunnerLateReply, ALateReplyDoesNotSpoilTheNextUpdate) {
  TempDir dir;
  XrsimProcess xrsim;
  ASSERT_TRUE(xrsim.start({"--image", dir.file("received.img")}));
  write_file_bytes(dir.file("x.ini"), "[XR3300/R SystemUpdate Utility]\r\nCom1Device=" + xrsim.path + "\r\n");
  const std::string image = make_update_image(0, 2, 0);
  write_file_bytes(dir.file("a.sys"), image);

  RunOptions stop_instrument;
  const pid_t instrument = xrsim.pid;
  stop_instrument.act_when = [instrument](const std::string& out, pid_t) {
    if (out.find("Tx Packet:  2") == std::string::npos) return false;
    kill(instrument, SIGSTOP);
    return true;
  };
  ProgramRun run = run_program({"--batch", "--ini", "x.ini", "a.sys"}, stop_instrument);
  EXPECT_EQ(run.status, 5) << run.out;
  kill(xrsim.pid, SIGCONT);
  // The late reply reaches the line's queue.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (queued_for_program(xrsim.path) < 7 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GE(queued_for_program(xrsim.path), 7);

  run = run_program({"--batch", "--ini", "x.ini", "a.sys"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image);
}

TEST_F(BatchRunner, EmitSyxWritesTheWireBytes) {
  const std::string image = make_update_image(2, 1, 0);
  write_file_bytes(dir.file("u.usr"), image);
  ProgramRun run = run_program({"--emit-syx", "u.usr", "u.syx"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::string expected = std::string("\xF0\x42\x23\x58\x02\x02\xF7", 7);
  std::vector<unsigned char> packet(kDataPacketSize);
  for (int k = 0; k < 48; ++k) {
    build_data_packet(packet.data(), k, reinterpret_cast<const unsigned char*>(image.data()) + 8192 * k);
    expected.append(packet.begin(), packet.end());
  }
  EXPECT_TRUE(read_file_bytes(dir.file("u.syx")) == expected);

  write_file_bytes(dir.file("bad.sys"), "nothing");
  run = run_program({"--emit-syx", "bad.sys", "bad.syx"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Illegal File Size(Read -0x80f)"), std::string::npos);
  EXPECT_TRUE(read_file_bytes(dir.file("bad.syx")).empty());
}

}  // namespace

// Every line of `out` is one JSON object, as a JSON parser reads it.
bool each_line_is_json(const TempDir& dir, const std::string& out) {
  size_t begin = 0;
  int lines = 0;
  while (begin < out.size()) {
    const size_t end = out.find('\n', begin);
    if (end == std::string::npos) return false;
    write_file_bytes(dir.file("line.json"), out.substr(begin, end - begin));
    const std::string command = "python3 -m json.tool '" + dir.file("line.json") + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
    begin = end + 1;
    ++lines;
  }
  return lines > 0;
}

int count_of(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A second instrument on a second pseudo-terminal.
class TwoInstruments : public BatchRunner {
 protected:
  PtyServer server2;
  SimInstrument sim2;
  std::thread serving2;

  void start_both() {
    SimConfig first;
    first.versions = {0x0105, 0x0100, 0x0100};
    start_sim(first);
    std::string error;
    ASSERT_EQ(pty_server_open(server2, nullptr, 38400, &error), 1) << error;
    SimConfig second;
    second.versions = {0x0300, 0x0100, 0x0100};
    second.image_path = dir.file("received2.img");
    sim_reset(sim2, second);
    serving2 = std::thread([this] { pty_server_run(server2, sim2, false); });
    // The settings name neither: the link comes from the command line alone.
    write_file_bytes(dir.file("x.ini"), "[XR3300/R SystemUpdate Utility]\r\nCom1Device=/nonexistent/tty\r\n");
  }
  void TearDown() override {
    if (serving2.joinable()) {
      pty_server_stop(server2);
      serving2.join();
      pty_server_close(server2);
    }
    BatchRunner::TearDown();
  }
};

TEST_F(TwoInstruments, FindListsBothAndPortUpdatesOnlyTheOneNamed) {
  start_both();
  ProgramRun run = run_program({"--find", "--ini", "x.ini", "--port", server.path, "--port", server2.path,
                                "--port", "/nonexistent/tty"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("serial " + server.path + ": System 1.05, User 1.00, PCM 1.00\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("serial " + server2.path + ": System 3.00, User 1.00, PCM 1.00\n"), std::string::npos);
  EXPECT_NE(run.err.find("xrupdate: /nonexistent/tty: does not exist; not tried\n"), std::string::npos) << run.err;
  run = run_program({"--json", "--find", "--port", server2.path, "--ini", "x.ini"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(each_line_is_json(dir, run.out)) << run.out;
  EXPECT_NE(run.out.find("\"system\":\"3.00\""), std::string::npos) << run.out;
  // The device is none of the settings' COM ports.
  EXPECT_NE(run.out.find("\"port\":null,\"device\":\"" + server2.path + "\""), std::string::npos) << run.out;

  // Options in any order; the update goes to the second instrument only, and
  // a progress line per packet reaches the pipe.
  const std::string image = make_update_image(0, 4, 0);
  write_file_bytes(dir.file("a.sys"), image);
  run = run_program({"a.sys", "--port", server2.path, "--batch", "--ini", "x.ini"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("xrupdate: link: " + server2.path + " at 38400 baud"), std::string::npos) << run.err;
  // Each progress text is a whole line, in order. While the writer is behind
  // (a loaded machine) only the newest text is kept, so some may be left out,
  // never the last.
  int last_packet = -1, progress_lines = 0;
  for (size_t at = run.err.find("\nPacket "); at != std::string::npos; at = run.err.find("\nPacket ", at + 1)) {
    const int packet = std::atoi(run.err.c_str() + at + 8);
    EXPECT_GT(packet, last_packet) << run.err;
    const std::string line = run.err.substr(at + 1, run.err.find('\n', at + 1) - at - 1);
    EXPECT_EQ(line.rfind("Packet " + std::to_string(packet) + " of 32", 0), 0u) << line;
    last_packet = packet;
    ++progress_lines;
  }
  EXPECT_GE(progress_lines, 2) << run.err;
  EXPECT_EQ(last_packet, 32) << run.err;
  EXPECT_NE(run.err.find("\nPacket 32 of 32, about 0:00 left\n"), std::string::npos) << run.err;
  // --port is never saved.
  EXPECT_EQ(read_file_bytes(dir.file("x.ini")).find(server2.path), std::string::npos);
  pty_server_stop(server2);
  serving2.join();
  pty_server_close(server2);
  stop_sim();
  EXPECT_TRUE(read_file_bytes(dir.file("received2.img")) == image);
  EXPECT_EQ(sim.record.setmodes, 0);
  EXPECT_EQ(sim.record.messages, 1);  // --find's version request alone
}

TEST_F(BatchRunner, QueryAndDryRunSendOnlyTheVersionRequest) {
  SimConfig config;
  config.versions = {0x0200, 0x0100, 0x0100};
  start_sim(config);
  write_file_bytes(dir.file("new.sys"), make_update_image(0, 3, 0));
  write_file_bytes(dir.file("old.sys"), make_update_image(0, 2, 0));
  ProgramRun run = run_program({"--query", "--port", server.path, "--ini", "x.ini"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "System: 2.00\nUser: 1.00\nPCM: 1.00\n");
  run = run_program({"--dry-run", "new.sys", "--port", server.path, "--ini", "x.ini", "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(each_line_is_json(dir, run.out)) << run.out;
  EXPECT_NE(run.out.find("\"accepted\":true"), std::string::npos) << run.out;
  run = run_program({"--dry-run", "--port", "COM1", "--ini", "x.ini", "old.sys"});
  EXPECT_EQ(run.status, 6) << run.err;
  EXPECT_NE(run.err.find("xrupdate: the update would not be accepted: Version check failed. The XR3300 already has"),
            std::string::npos) << run.err;
  run = run_program({"--dry-run", "--skip-version-check", "--ini", "x.ini", "old.sys"});
  EXPECT_EQ(run.status, 0) << run.err;
  // --quiet: the outcome alone.
  run = run_program({"-q", "--dry-run", "--ini", "x.ini", "new.sys"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Dry run: the update would be accepted.\n");
  EXPECT_EQ(run.err, "");
  stop_sim();
  EXPECT_EQ(sim.record.messages, 5);
  EXPECT_EQ(sim.record.version_requests, 5);
  EXPECT_EQ(sim.record.setmodes, 0);
}

// A device path with blanks, quotes and bytes that are not ASCII is used as
// given: a link of such a name to the instrument answers; a missing one is
// named whole in one line, with its status, and nothing is sent.
TEST_F(BatchRunner, PortWithBlanksAndNonAsciiBytesIsUsedAsGiven) {
  start_sim(SimConfig{});
  const std::string odd = dir.file(" my \"dev\" \xc3\xa9\xff ");
  ASSERT_EQ(symlink(server.path.c_str(), odd.c_str()), 0);
  ProgramRun run = run_program({"--query", "--json", "--port", odd, "--ini", "x.ini"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(each_line_is_json(dir, run.out)) << run.out;
  EXPECT_NE(run.err.find("xrupdate: link: " + odd + " at 38400 baud"), std::string::npos) << run.err;

  const std::string missing = dir.file("no such \xe2\x82\xac dev");
  run = run_program({"--query", "--port", missing, "--ini", "x.ini"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.err, "xrupdate: --port " + missing + ": does not exist; no other port is used\n");
  stop_sim();
  EXPECT_EQ(sim.record.version_requests, 1);
}

// A device named on the command line that does not open ends the run with
// exit 4 and its reason; no other port (here COM1, which would answer) is used.
TEST_F(BatchRunner, NamedDeviceThatDoesNotOpenIsExit4WithItsReason) {
  start_sim(SimConfig{});
  write_file_bytes(dir.file("a.sys"), make_update_image(0, 2, 0));
  ProgramRun run = run_program({"--batch", "--port", "/nonexistent/tty", "--ini", "x.ini", "a.sys"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.err, "xrupdate: --port /nonexistent/tty: does not exist; no other port is used\n");

  const int holder = open(server.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  write_file_bytes(dir.file("y.ini"), "[XR3300/R SystemUpdate Utility]\r\nCom1Device=/nonexistent/tty\r\n");
  run = run_program({"--query", "--json", "--port", server.path, "--ini", "y.ini"});
  close(holder);
  EXPECT_EQ(run.status, 4);
  EXPECT_TRUE(each_line_is_json(dir, run.out)) << run.out;
  EXPECT_NE(run.out.find("is in use by another program"), std::string::npos) << run.out;

  if (geteuid() == 0) {
    ASSERT_EQ(chmod(server.path.c_str(), 0600), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    RunOptions nobody;
    nobody.as_nobody = true;
    run = run_program({"--query", "--port", server.path, "--ini", "x.ini"}, nobody);
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_NE(run.err.find("Permission denied"), std::string::npos) << run.err;
  }
  stop_sim();
  EXPECT_EQ(sim.record.messages, 0);
}

// Each bad command line: one line on stderr, exit 2, nothing sent.
TEST_F(BatchRunner, BadCommandLinesAreOneLineAndSendNothing) {
  start_sim(SimConfig{});
  write_file_bytes(dir.file("a.sys"), make_update_image(0, 2, 0));
  const std::vector<std::vector<std::string>> bad = {
      {"--batch", "--frobnicate", "a.sys"},
      {"--batch", "a.sys", "--port"},
      {"--batch", "--port", server.path, "--midi-out", "0", "a.sys"},
      {"--batch", "--port", server.path, "--port", server.path, "a.sys"},
      {"--query", "--rate", "9"},
      {"--query", "--batch", "a.sys"},
      {"--dry-run"},
      {"-Z"},
  };
  for (const auto& args : bad) {
    const ProgramRun run = run_program(args);
    EXPECT_EQ(run.status, 2) << args[1];
    EXPECT_EQ(count_of(run.err, "\n"), 1) << run.err;
    EXPECT_EQ(run.err.compare(0, 10, "xrupdate: "), 0) << run.err;
  }
  const ProgramRun help = run_program({"--batch", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage:"), std::string::npos);
  stop_sim();
  EXPECT_EQ(sim.record.messages, 0);
}
