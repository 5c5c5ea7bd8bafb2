// Whole updates over a real pseudo-terminal into the simulated instrument.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "engine/device_protocol.h"
#include "engine/file_io.h"
#include "engine/transfer.h"
#include "engine/transfer_outcome.h"
#include "engine/transfer_thread.h"
#include "engine/update_file.h"
#include "link/serial_link.h"
#include "sim/instrument.h"
#include "sim/pty_server.h"
#include "support/command_ids.h"
#include "support/settings.h"
#include "support/support_log.h"
#include "tests/test_support.h"
#include "ui/transfer_start.h"

namespace {

int g_window_tag;
WindowHandle const kWindow = &g_window_tag;

int count_ends(const std::vector<RecordedNotice>& notices) {
  int ends = 0;
  for (const auto& n : notices) ends += n.id == IDM_TFR_END ? 1 : 0;
  return ends;
}

bool has_end(const std::vector<RecordedNotice>& notices) { return count_ends(notices) > 0; }

class TransferSerial : public ::testing::Test {
 protected:
  HostRecorder host;
  TempDir dir;
  PtyServer server;
  SimInstrument sim;
  std::thread serving;
  bool serving_started = false;
  int ends_seen = 0;

  void SetUp() override {
    ASSERT_EQ(open_log(), 1);
    ASSERT_EQ(init_tfr(), 1);
  }

  void TearDown() override {
    stop_sim();
    free_comm();
    free_tfr();
    close_log();
    std::snprintf(com_device_path[0], kComDevicePathSize, "%s", "/dev/ttyS0");
  }

  void start_sim(SimConfig config) {
    std::string error;
    ASSERT_EQ(pty_server_open(server, nullptr, 38400, &error), 1) << error;
    config.image_path = dir.file("received.img");
    sim_reset(sim, config);
    std::snprintf(com_device_path[0], kComDevicePathSize, "%s", server.path.c_str());
    serving = std::thread([this] { pty_server_run(server, sim, false); });
    serving_started = true;
  }

  void stop_sim() {
    if (!serving_started) return;
    pty_server_stop(server);
    serving.join();
    pty_server_close(server);
    serving_started = false;
  }

  std::string write_image(const std::string& name, const std::string& bytes) {
    const std::string path = dir.file(name);
    write_file_bytes(path, bytes);
    return path;
  }

  // Runs one transfer to its end; returns 208's lParam.
  intptr_t run(const std::string& path, int skip_version = 0) {
    EXPECT_EQ(set_comm(kWindow, 1, 38400), 1);
    tfr_main(kWindow, path.c_str(), 0, skip_version, 0);
    return wait_end();
  }

  // Waits for the next 208 notice; returns its lParam.
  intptr_t wait_end() {
    const int wanted = ++ends_seen;
    EXPECT_TRUE(host.wait_for_notice(
        [wanted](const std::vector<RecordedNotice>& n) { return count_ends(n) >= wanted; },
        std::chrono::seconds(60)));
    free_comm();
    tfr_end();
    EXPECT_EQ(query_tfr_stop(), 1);
    // Every end, whichever way it came, was idle before its notice went out: a
    // transfer started in answer to the notice finds the state free. The
    // 209 notices come from a running transfer.
    for (const auto& n : host.notices()) {
      if (n.id == IDM_TFR_END) {
        EXPECT_EQ(n.idle_when_posted, 1) << "208 posted before the state was idle";
      } else {
        EXPECT_EQ(n.idle_when_posted, 0) << "notice " << n.id << " posted by an idle transfer";
      }
    }
    int seen = 0;
    for (const auto& n : host.notices()) {
      if (n.id == IDM_TFR_END && ++seen == wanted) return n.lparam;
    }
    return -1;
  }

  std::string log_text() {
    close_log();
    const std::string text = read_file_bytes(dir.file("vup_log.txt"));
    open_log();
    return text;
  }
};

struct KindCase {
  int attr_code;
  int packets;
};

class TransferSerialKinds : public TransferSerial, public ::testing::WithParamInterface<KindCase> {};

TEST_P(TransferSerialKinds, ImageArrivesByteForByte) {
  const KindCase kind = GetParam();
  start_sim(SimConfig{});
  const std::string image = make_update_image(kind.attr_code, 2, 0, false, 7 + kind.attr_code);
  const std::string path = write_image("update.bin", image);
  ASSERT_EQ(run(path), 1);
  stop_sim();
  EXPECT_EQ(sim.record.packets, kind.packets);
  EXPECT_EQ(sim.record.attr_code, kind.attr_code);
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image) << "the received image differs";
  EXPECT_EQ(host.line(3), "Update Complete!");
  EXPECT_TRUE(host.boxes().empty());
  EXPECT_EQ(tfr_outcome().outcome, kOutcomeCompleted);
  int done = 0, total = 0;
  tfr_progress(&done, &total);
  EXPECT_EQ(done, kind.packets);
  EXPECT_EQ(total, kind.packets);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, TransferSerialKinds,
                         ::testing::Values(KindCase{0, 32}, KindCase{1, 48}, KindCase{2, 48},
                                           KindCase{3, 128}));

TEST_F(TransferSerial, LogNoticesDisplayAndTestDat) {
  SimConfig config;
  config.versions = {0x00FA, 0x2AF0, 0xBCDE};  // hex letters: the line shows them in lower case
  start_sim(config);
  const std::string image = make_update_image(0, 1, 5);
  const std::string path = write_image("system.sys", image);
  ASSERT_EQ(run(path), 1);

  // The notices, in order, each once.
  const auto notices = host.notices();
  ASSERT_EQ(notices.size(), 3u);
  EXPECT_EQ(notices[0].id, IDM_STOP_ENABLE);
  EXPECT_EQ(notices[0].lparam, 1);
  EXPECT_EQ(notices[1].id, IDM_STOP_ENABLE);
  EXPECT_EQ(notices[1].lparam, 0);
  EXPECT_EQ(notices[2].id, IDM_TFR_END);
  EXPECT_EQ(notices[2].lparam, 1);
  for (const auto& n : notices) EXPECT_EQ(n.window, kWindow);

  EXPECT_EQ(host.line(0), path);
  EXPECT_EQ(host.line(1), "FILE : Type=SYSTEM , Version=1.05");
  EXPECT_EQ(host.line_history(2).at(1), "Target : System:fa / User:2af0 / PCM:bcde ");
  EXPECT_EQ(host.line_history(2).at(2), "Set Mode : f0 42 23 58 03 00 f7");
  EXPECT_EQ(host.line_history(2).at(3), "Tx Packet:  0 : f0 42 23 58 03 00 f7");
  EXPECT_EQ(host.line(2), "Tx Packet: 31 : f0 42 23 58 03 00 f7");

  std::string expected = "Sending version check...\r\n\r\nVersion check successful.\r\n\r\n"
                         "Sending 'Set Mode'...\r\n\r\nSet Mode successful.\r\n\r\n";
  for (int k = 1; k <= 32; ++k) expected += "Sent packet " + std::to_string(k) + " of 32...\r\n\r\n";
  expected += "Update completed successfully.\r\n\r\n";
  const std::string log = log_text();
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(log.substr(log.size() - expected.size()), expected);

  // test.dat holds the last packet, exactly as sent.
  std::vector<unsigned char> last(kDataPacketSize);
  build_data_packet(last.data(), 31, reinterpret_cast<const unsigned char*>(image.data()) + 31 * 8192);
  EXPECT_TRUE(read_file_bytes(dir.file("test.dat")) == std::string(last.begin(), last.end()));
}

// A port another copy took between the check and the open: the start in the
// log gets its end, and the caller is told that the port is in use.
TEST_F(TransferSerial, APortThatDoesNotOpenEndsTheRunInTheLog) {
  start_sim(SimConfig{});
  const std::string path = write_image("system.sys", make_update_image(0, 2, 0));
  const int holder = ::open(server.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  LinkTarget link;
  ASSERT_EQ(link_target_set_device(&link, server.path.c_str()), 1);
  std::string why;
  EXPECT_EQ(tx_start(kWindow, path.c_str(), link, kScopeUpdate, &why), 0);
  ::close(holder);
  EXPECT_EQ(why, "Comm Port Open Error!(CreateFile): the port is in use by another program");
  const std::string log = log_text();
  const std::string end = "Update Failed : " + why + "\r\n\r\n";
  ASSERT_GE(log.size(), end.size());
  EXPECT_EQ(log.substr(log.size() - end.size()), end);
  EXPECT_NE(log.find("Starting serial transfer of file " + path), std::string::npos);
}

TEST_F(TransferSerial, SkippedVersionCheckSendsSetModeFirst) {
  SimConfig config;
  config.versions = {0x0900, 0x0900, 0x0900};  // would refuse the file
  start_sim(config);
  const std::string path = write_image("system.sys", make_update_image(0, 1, 0));
  ASSERT_EQ(run(path, 1), 1);
  stop_sim();
  EXPECT_EQ(sim.record.version_requests, 0);
  EXPECT_EQ(log_text().find("Sending version check..."), std::string::npos);
}

struct VersionCase {
  int attr_code;
  int file_major, file_minor;
  std::array<int, 3> installed;
  bool passes;
};

class TransferSerialVersions : public TransferSerial, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(TransferSerialVersions, ComparisonRule) {
  const VersionCase c = GetParam();
  SimConfig config;
  config.versions = c.installed;
  config.setmode_status = 1;  // end right after the check: no need to send the file
  start_sim(config);
  const std::string path = write_image("f.bin", make_update_image(c.attr_code, c.file_major, c.file_minor));
  EXPECT_EQ(run(path), 0);
  const std::string log = log_text();
  if (c.passes) {
    EXPECT_NE(log.find("Version check successful."), std::string::npos);
    EXPECT_NE(log.find("Sending 'Set Mode'..."), std::string::npos);
    EXPECT_EQ(tfr_outcome().outcome, kOutcomeDeviceError);  // the Set Mode refusal that ends it
  } else {
    // How it ended is a value of its own, whatever the display's words.
    EXPECT_EQ(tfr_outcome().outcome, kOutcomeVersionRefused);
    EXPECT_EQ(tfr_outcome().fault, kFaultVersion);
    EXPECT_EQ(host.line(3), "Version check failed. The XR3300 already has");
    EXPECT_EQ(host.line(4), "same version or better. To force update select");
    EXPECT_EQ(host.line(5), "Skip Version Check in configuration.");
    EXPECT_NE(log.find("Version check failed. Same version or better."), std::string::npos);
    EXPECT_EQ(log.find("Sending 'Set Mode'..."), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, TransferSerialVersions,
    ::testing::Values(
        // SYSTEM against the first version.
        VersionCase{0, 1, 5, {0x0104, 0x0900, 0x0900}, true},
        VersionCase{0, 1, 5, {0x0105, 0x0000, 0x0000}, false},  // equal is refused
        // PCM against the second version (labelled User), whatever the third says.
        VersionCase{1, 1, 10, {0x0900, 0x0109, 0x0900}, true},
        VersionCase{1, 1, 10, {0x0000, 0x010A, 0x0000}, false},
        // USER against the third version (labelled PCM).
        VersionCase{2, 2, 0, {0x0900, 0x0900, 0x0100}, true},
        VersionCase{2, 2, 0, {0x0000, 0x0000, 0x0200}, false},
        // ALL against 0, even the highest versions a reply of seven-bit bytes carries.
        VersionCase{3, 0, 1, {0x7F7F, 0x7F7F, 0x7F7F}, true},
        VersionCase{3, 0, 0, {0x0000, 0x0000, 0x0000}, false}));

TEST_F(TransferSerial, StatusErrorAtAPacketEndsTheTransfer) {
  SimConfig config;
  config.status_step = {SimStep::kPacket, 3};
  config.status_value = 5;
  start_sim(config);
  const std::string image = make_update_image(0, 2, 0);
  const std::string path = write_image("system.sys", image);
  EXPECT_EQ(run(path), 0);
  EXPECT_EQ(host.line(2), "Tx Packet:  3 : f0 42 23 58 03 05 f7");
  EXPECT_EQ(host.line(3), "Rx Msg Error(5:Write Error)");
  EXPECT_EQ(host.line(4), "XR3300 failed to write to its internal memory");
  EXPECT_EQ(tfr_outcome().outcome, kOutcomeDeviceError);
  EXPECT_EQ(tfr_outcome().fault, kFaultReply);
  EXPECT_STREQ(tfr_outcome().reason, "Rx Msg Error(5:Write Error)");
  // The record holds all three lines the user was shown, as they were shown.
  EXPECT_EQ(std::string(tfr_outcome().told), host.line(3) + " " + host.line(4) + " " + host.line(5));
  int done = 0, total = 0;
  tfr_progress(&done, &total);
  EXPECT_EQ(done, 3);  // packets 0 to 2 were accepted
  EXPECT_EQ(total, 32);
  const auto notices = host.notices();
  ASSERT_EQ(notices.size(), 2u);  // 209/1, then 208/0; 209/0 never comes
  EXPECT_EQ(notices[1].id, IDM_TFR_END);
  const std::string log = log_text();
  EXPECT_NE(log.find("Sent packet 3 of 32...\r\n\r\nRx Msg Error(5:Write Error)\r\n\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Sent packet 4 of 32"), std::string::npos);
  // After a failure end test.dat holds the last packet built: the refused one.
  std::vector<unsigned char> refused(kDataPacketSize);
  build_data_packet(refused.data(), 3, reinterpret_cast<const unsigned char*>(image.data()) + 3 * 8192);
  EXPECT_TRUE(read_file_bytes(dir.file("test.dat")) == std::string(refused.begin(), refused.end()));
}

TEST_F(TransferSerial, SetModeRefusedIsShownThenValidated) {
  SimConfig config;
  config.setmode_status = 4;
  start_sim(config);
  const std::string path = write_image("system.sys", make_update_image(0, 2, 0));
  EXPECT_EQ(run(path), 0);
  EXPECT_EQ(host.line(2), "Set Mode : f0 42 23 58 03 04 f7");
  EXPECT_EQ(host.line(3), "Rx Msg Error(5:Hardware Error)");
  EXPECT_EQ(host.notices().size(), 1u);  // only 208/0: the packets never began
}

TEST_F(TransferSerial, WrongHeadByteInAReply) {
  SimConfig config;
  config.bad_step = {SimStep::kPacket, 0};
  config.bad_index = 3;
  config.bad_value = 0x57;
  start_sim(config);
  const std::string path = write_image("system.sys", make_update_image(0, 2, 0));
  EXPECT_EQ(run(path), 0);
  EXPECT_EQ(host.line(3), "Rx Msg Error(3:Product ID Error)");
}

TEST_F(TransferSerial, NoiseAndLongRepliesAreTolerated) {
  SimConfig config;
  config.noise_step = {SimStep::kAll, 0};
  config.long_step = {SimStep::kPacket, 4};
  config.long_length = 24;
  config.long_fill = 0x11;  // what is left of it is dropped by the next receive
  start_sim(config);
  const std::string image = make_update_image(0, 2, 0);
  const std::string path = write_image("system.sys", image);
  ASSERT_EQ(run(path), 1);
  stop_sim();
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image) << "the received image differs";
}

// What a long reply leaves on the line (8 bytes of 0x00, which would end a
// receive as a time-out) answers no later request: it is discarded before the next.
TEST_F(TransferSerial, WhatALongReplyLeavesIsDiscardedBeforeTheNextRequest) {
  SimConfig config;
  config.long_step = {SimStep::kPacket, 4};
  config.long_length = 24;
  start_sim(config);
  const std::string image = make_update_image(0, 2, 0);
  const std::string path = write_image("system.sys", image);
  EXPECT_EQ(run(path), 1);
  EXPECT_EQ(host.line(3), "Update Complete!");
  EXPECT_NE(log_text().find("Sent packet 5 of 32...\r\n\r\nDiscarded 8 bytes received before the request\r\n"),
            std::string::npos);
  stop_sim();
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image) << "the received image differs";
}

TEST_F(TransferSerial, SilenceTimesOut) {
  SimConfig config;
  config.silent_step = {SimStep::kPacket, 1};
  start_sim(config);
  const std::string path = write_image("system.sys", make_update_image(0, 2, 0));
  EXPECT_EQ(run(path), 0);
  EXPECT_EQ(host.line(3), "Receive Error(Timeout)");
  EXPECT_EQ(host.line(4), "XR3300 did not respond. Please check");
  EXPECT_EQ(host.line(5), "MIDI configuration and cabling.");
  EXPECT_NE(log_text().find("Update failed : Receive Error(Timeout)\r\n\r\n"), std::string::npos);
  EXPECT_EQ(tfr_outcome().outcome, kOutcomeDeviceError);
  EXPECT_EQ(tfr_outcome().fault, kFaultTimeout);
}

TEST_F(TransferSerial, LineClosedMidUpdate) {
  SimConfig config;
  config.close_step = {SimStep::kPacket, 2};
  start_sim(config);
  const std::string path = write_image("system.sys", make_update_image(0, 2, 0));
  EXPECT_EQ(run(path), 0);
  const std::string line3 = host.line(3);
  EXPECT_TRUE(line3 == "Receive Error" || line3 == "Receive Error(Timeout)") << line3;
}

// The line goes away between Set Mode's reply and the first data packet: the
// packet's write fails, which is a "Transmit Error", and nothing waits for a reply.
TEST_F(TransferSerial, LineGoneBeforeAPacketIsATransmitError) {
  start_sim(SimConfig{});
  const std::string path = write_image("system.sys", make_update_image(0, 2, 0));
  host.set_post_hook([this](int id, intptr_t lparam) {
    if (id == IDM_STOP_ENABLE && lparam == 1) stop_sim();  // on the transfer thread, before packet 0
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(run(path), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));  // no 5 s receive wait
  host.set_post_hook(nullptr);
  EXPECT_EQ(host.line(3), "Transmit Error");
  EXPECT_EQ(host.line(4), "Please contact technical support.");
  EXPECT_EQ(sim.record.packets, 0);
  const std::string log = log_text();
  EXPECT_NE(log.find("Set Mode successful."), std::string::npos);
  EXPECT_EQ(log.find("Sent packet"), std::string::npos);
}

TEST_F(TransferSerial, PauseHoldsThenContinueCompletes) {
  start_sim(SimConfig{});
  const std::string image = make_update_image(0, 2, 0);
  const std::string path = write_image("system.sys", image);
  ASSERT_EQ(set_comm(kWindow, 1, 38400), 1);
  tfr_main(kWindow, path.c_str(), 0, 0, 0);
  ASSERT_TRUE(host.wait_for_line(2, "Tx Packet:  2"));
  stop_dialog_opened();
  EXPECT_EQ(pause_status.load(), kTfrPaused);
  // The packet in flight completes; then nothing more goes out while paused.
  const auto settled = host.line_history(2).size();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(host.line_history(2).size(), settled + 1);
  EXPECT_FALSE(has_end(host.notices()));
  stop_dialog_continue();
  EXPECT_EQ(wait_end(), 1);
  stop_sim();
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image) << "the received image differs";
}

TEST_F(TransferSerial, AbortBetweenPackets) {
  start_sim(SimConfig{});
  const std::string path = write_image("system.sys", make_update_image(0, 2, 0));
  ASSERT_EQ(set_comm(kWindow, 1, 38400), 1);
  tfr_main(kWindow, path.c_str(), 0, 0, 0);
  ASSERT_TRUE(host.wait_for_line(2, "Tx Packet:  4"));
  stop_dialog_opened();
  stop_dialog_abort();
  EXPECT_EQ(query_tfr_stop(), 1);  // the wait ended with the thread idle
  EXPECT_EQ(wait_end(), 0);
  EXPECT_EQ(tfr_outcome().outcome, kOutcomeAborted);
  stop_sim();
  EXPECT_LT(sim.record.packets, 32);
  EXPECT_EQ(sim.record.updates_completed, 0);
  const std::string log = log_text();
  EXPECT_NE(log.find("User aborted update\r\n\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Update completed successfully."), std::string::npos);
}

TEST_F(TransferSerial, StopAfterTheEndChangesNothing) {
  start_sim(SimConfig{});
  const std::string path = write_image("system.sys", make_update_image(0, 2, 0));
  ASSERT_EQ(run(path), 1);
  stop_dialog_opened();
  stop_dialog_abort();  // returns at once: the thread is idle
  EXPECT_EQ(pause_status.load(), kTfrIdle);
}

TEST_F(TransferSerial, FileThatCannotBeOpened) {
  start_sim(SimConfig{});
  const std::string path = dir.file("missing 100%s.sys");
  EXPECT_EQ(run(path), 0);
  const auto boxes = host.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "File Open Error");
  EXPECT_EQ(boxes[0].caption, "Error");
  EXPECT_EQ(boxes[0].owner, kWindow);
  EXPECT_NE(log_text().find("Update Failed : Failed to open file " + path + "\r\n\r\n"), std::string::npos);
  EXPECT_EQ(tfr_outcome().outcome, kOutcomeFileRefused);
  EXPECT_EQ(tfr_outcome().fault, kFaultFileOpen);
  stop_sim();
  EXPECT_EQ(sim.record.messages, 0);
}

TEST_F(TransferSerial, FileFailingTheHeaderCheckNeverReachesTheInstrument) {
  start_sim(SimConfig{});
  std::string image = make_update_image(0, 2, 0);
  image.pop_back();
  const std::string path = write_image("short.sys", image);
  EXPECT_EQ(run(path), 0);
  ASSERT_EQ(host.boxes().size(), 1u);
  EXPECT_EQ(host.boxes()[0].text, "Illegal File Size(total)");
  EXPECT_EQ(tfr_outcome().outcome, kOutcomeFileRefused);
  EXPECT_STREQ(tfr_outcome().reason, "Illegal File Size(total)");
  EXPECT_NE(log_text().find("Update Failed : File format/version error"), std::string::npos);
  stop_sim();
  EXPECT_EQ(sim.record.messages, 0);
}

TEST_F(TransferSerial, PathsWithPercentSpacesAndNonAsciiBytes) {
  start_sim(SimConfig{});
  const std::string image = make_update_image(0, 2, 0);
  const std::string path = write_image("100% s\xC3\xA9 %n%s.sys", image);
  ASSERT_EQ(run(path), 1);
  EXPECT_EQ(host.line(0), path);
  stop_sim();
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image) << "the received image differs";
}

TEST_F(TransferSerial, PathLongerThanTheBufferIsNotCutShort) {
  start_sim(SimConfig{});
  std::string path = dir.path() + "/" + std::string(300, 'a');
  EXPECT_EQ(run(path), 0);
  ASSERT_EQ(host.boxes().size(), 1u);
  EXPECT_EQ(host.boxes()[0].text, "File Open Error");
  // The log names the path the user gave, whole.
  EXPECT_NE(log_text().find("Update Failed : Failed to open file " + path + "\r\n\r\n"), std::string::npos);
}

// A test.dat that is no regular file neither holds the transfer (a named pipe
// without a reader would block its open for ever) nor is replaced.
TEST_F(TransferSerial, TestDatThatIsNoRegularFileIsLeftAlone) {
  start_sim(SimConfig{});
  const std::string image = make_update_image(0, 2, 0);
  const std::string path = write_image("system.sys", image);
  ASSERT_EQ(::mkfifo(dir.file("test.dat").c_str(), 0644), 0);
  EXPECT_EQ(set_comm(kWindow, 1, 38400), 1);
  tfr_main(kWindow, path.c_str(), 0, 0, 0);
  const bool ended = host.wait_for_notice(has_end, std::chrono::seconds(60));
  if (!ended) {
    // Let a writer stuck in the open go, so that the failure is reported, not hung.
    const int reader = ::open(dir.file("test.dat").c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_TRUE(host.wait_for_notice(has_end, std::chrono::seconds(60)));
    if (reader >= 0) ::close(reader);
  }
  EXPECT_TRUE(ended) << "the transfer held at test.dat";
  wait_end();
  stop_sim();
  EXPECT_EQ(host.line(3), "Update Complete!");
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image) << "the received image differs";
  struct stat st;
  ASSERT_EQ(::lstat(dir.file("test.dat").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// Runs `body` as the user "nobody" in a child process; its exit status, or -1.
int as_nobody(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 ? body() : 99);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The update's folder may be shared with other users. A test.dat placed there
// by another user (a link to this user's file, or a file of theirs), or a
// second name of another file, is left as it is; the update goes on.
TEST_F(TransferSerial, TestDatPlantedByAnotherUserIsLeftAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string victim = dir.file("victim");
  write_file_bytes(victim, "precious");
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  const std::string test_dat = dir.file("test.dat");
  start_sim(SimConfig{});
  const std::string path = write_image("system.sys", make_update_image(0, 2, 0));

  ASSERT_EQ(as_nobody([&] { return ::symlink(victim.c_str(), test_dat.c_str()) == 0 ? 0 : 1; }), 0);
  EXPECT_EQ(run(path, 1), 1);
  EXPECT_EQ(read_file_bytes(victim), "precious") << "written through another user's link";

  ASSERT_EQ(::unlink(test_dat.c_str()), 0);
  ASSERT_EQ(as_nobody([&] {
              const int fd = ::open(test_dat.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
              return fd >= 0 && ::write(fd, "theirs", 6) == 6 && ::close(fd) == 0 ? 0 : 1;
            }),
            0);
  EXPECT_EQ(run(path, 1), 1);
  EXPECT_EQ(read_file_bytes(test_dat), "theirs") << "another user's file was rewritten";

  ASSERT_EQ(::unlink(test_dat.c_str()), 0);
  ASSERT_EQ(::link(victim.c_str(), test_dat.c_str()), 0);
  EXPECT_EQ(run(path, 1), 1);
  EXPECT_EQ(read_file_bytes(victim), "precious") << "another file was rewritten through its second name";

  // Where nothing was placed, the copy is made as before.
  ASSERT_EQ(::unlink(test_dat.c_str()), 0);
  EXPECT_EQ(run(path, 1), 1);
  EXPECT_EQ(read_file_bytes(test_dat).size(), static_cast<size_t>(kDataPacketSize));
}

// A thread that cannot be started is told, logged, and ends the transfer as
// any other end does; the next one runs.
TEST_F(TransferSerial, TransferThreadThatCannotStart) {
  start_sim(SimConfig{});
  const std::string image = make_update_image(0, 2, 0);
  const std::string path = write_image("system.sys", image);
  transfer_thread_refuse_next_start();
  EXPECT_EQ(run(path), 0);
  const auto boxes = host.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Failed to start the transfer");
  EXPECT_EQ(boxes[0].caption, "Error");
  EXPECT_NE(log_text().find("Update Failed : Failed to start the transfer thread\r\n\r\n"), std::string::npos);
  EXPECT_EQ(tfr_outcome().outcome, kOutcomeNotStarted);
  EXPECT_EQ(run(path), 1);
  EXPECT_EQ(tfr_outcome().outcome, kOutcomeCompleted);  // a new transfer forgets the last end
  stop_sim();
  // Only the second transfer reached the instrument: one Version Request, one Set Mode.
  EXPECT_EQ(sim.record.version_requests, 1);
  EXPECT_EQ(sim.record.setmodes, 1);
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image) << "the received image differs";
}

// The lock is advisory: a writer can still cut or rewrite the file. The update
// goes on with the file as it was checked, and only that reaches the instrument.
TEST_F(TransferSerial, FileIsHeldExclusivelyAndItsChangesCannotMixIntoTheUpdate) {
  start_sim(SimConfig{});
  const std::string image = make_update_image(0, 2, 0);
  const std::string path = write_image("system.sys", image);
  ASSERT_EQ(set_comm(kWindow, 1, 38400), 1);
  tfr_main(kWindow, path.c_str(), 0, 0, 0);
  ASSERT_TRUE(host.wait_for_line(2, "Tx Packet:  1"));
  EXPECT_EQ(file_open_exclusive(path.c_str()), kInvalidFile);
  ASSERT_EQ(truncate(path.c_str(), 8192 * 5 + 100), 0);
  write_file_bytes(path, make_update_image(0, 2, 7));
  EXPECT_EQ(wait_end(), 1);
  EXPECT_EQ(host.line(3), "Update Complete!");
  stop_sim();
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image) << "the received image differs";
}

TEST_F(TransferSerial, ANewTransferCanFollowAFailedOne) {
  start_sim(SimConfig{});
  const std::string bad = write_image("bad.sys", "PELD");
  EXPECT_EQ(run(bad), 0);
  const std::string image = make_update_image(2, 2, 0);
  const std::string good = write_image("user.usr", image);
  EXPECT_EQ(run(good), 1);
  stop_sim();
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image) << "the received image differs";
}

}  // namespace

namespace {

// A stop that comes while the link is being opened, before the transfer starts
// (a signal during the open): the transfer starts stopped and sends nothing.
TEST_F(TransferSerial, AStopBeforeTheTransferStartsSendsNothing) {
  start_sim(SimConfig{});
  const std::string path = write_image("system.sys", make_update_image(0, 2, 0));
  ASSERT_EQ(set_comm(kWindow, 1, 38400), 1);
  ASSERT_EQ(query_tfr_stop(), 1);
  set_tfr_stop_now();
  tfr_main(kWindow, path.c_str(), 0, 1, 0);  // without the version check: Set Mode would be first
  EXPECT_EQ(wait_end(), 0);
  EXPECT_EQ(tfr_outcome().outcome, kOutcomeAborted);
  EXPECT_EQ(tfr_set_mode_sent(), 0);
  EXPECT_EQ(host.line(3), "Update Aborted");
  // The stop was this transfer's: the next one runs.
  EXPECT_EQ(run(path), 1);
  stop_sim();
  EXPECT_EQ(sim.record.setmodes, 1);
}

}  // namespace
