// The headless runner and --emit-syx, run as the built program against the
// simulated instrument on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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

// Runs the program; `on_output` may send it a signal once its stdout holds a text.
ProgramRun run_program(const std::vector<std::string>& args, const std::string& signal_after = "",
                int signal_number = SIGINT) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(kProgram.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, kProgram.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  ProgramRun run;
  if (spawned != 0) return run;
  bool signalled = false;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int open_fds = 2;
  while (open_fds > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(fds, 2, 200) <= 0) continue;
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
    if (!signalled && !signal_after.empty() && run.out.find(signal_after) != std::string::npos) {
      kill(pid, signal_number);
      signalled = true;
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
    serving = std::thread([this] { pty_server_run(server, sim, false); });
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

TEST_F(BatchRunner, LinkNotOpened) {
  // No serial port at all: the MIDI link is chosen, and there is no MIDI device here.
  write_file_bytes(dir.file("x.ini"), "[XR3300/R SystemUpdate Utility]\r\nCom1Device=/nonexistent/tty\r\n"
                                      "Com2Device=/nonexistent/tty\r\nCom3Device=/nonexistent/tty\r\n"
                                      "Com4Device=/nonexistent/tty\r\n");
  write_file_bytes(dir.file("a.sys"), make_update_image(0, 2, 0));
  const ProgramRun run = run_program({"--batch", "--ini", "x.ini", "a.sys"});
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_NE(run.err.find("Error: Midi"), std::string::npos) << run.err;
  EXPECT_NE(read_file_bytes(dir.file("x.ini")).find("DeviceType=1"), std::string::npos);
}

TEST_F(BatchRunner, InterruptAborts) {
  start_sim(SimConfig{});
  write_file_bytes(dir.file("a.sys"), make_update_image(0, 2, 0));
  const ProgramRun run = run_program({"--batch", "--ini", "x.ini", "a.sys"}, "Tx Packet:  2");
  EXPECT_EQ(run.status, 7) << run.err;
  EXPECT_EQ(run.out.find("Update Complete!"), std::string::npos);
  EXPECT_NE(read_file_bytes(dir.file("vup_log.txt")).find("User aborted update"), std::string::npos);
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
