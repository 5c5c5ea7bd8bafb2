// Whole updates over the MIDI link into the simulated instrument, with the fake
// driver standing in for the platform's (winmm on Windows, ALSA on Linux).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/device_protocol.h"
#include "engine/transfer.h"
#include "engine/transfer_outcome.h"
#include "engine/update_file.h"
#include "link/midi_link.h"
#include "sim/instrument.h"
#include "support/command_ids.h"
#include "support/settings.h"
#include "support/support_log.h"
#include "tests/fake_midi_driver.h"
#include "tests/test_support.h"
#include "ui/transfer_start.h"

namespace {

int g_window_tag;
WindowHandle const kWindow = &g_window_tag;

bool ended(const std::vector<RecordedNotice>& notices) {
  for (const auto& n : notices) {
    if (n.id == IDM_TFR_END) return true;
  }
  return false;
}

class TransferMidi : public ::testing::Test {
 protected:
  HostRecorder host;
  TempDir dir;
  SimInstrument sim;

  void SetUp() override {
    ASSERT_EQ(open_log(), 1);
    ASSERT_EQ(init_tfr(), 1);
    fake_midi_install(1, 1);
    fake_midi_set_ticker(add_midi_time);
    SimConfig config;
    config.image_path = dir.file("received.img");
    sim_reset(sim, config);
    // The instrument takes the chunks byte by byte, as they come off the line.
    fake_midi_set_peer([this](const unsigned char* data, size_t length) {
      std::vector<unsigned char> reply;
      std::vector<SimAction> actions;
      for (size_t i = 0; i < length; ++i) sim_feed(sim, data[i], actions);
      for (const auto& action : actions) {
        if (action.kind == SimAction::kWrite) reply.insert(reply.end(), action.bytes.begin(), action.bytes.end());
      }
      return reply;
    });
  }

  void TearDown() override {
    free_midi();
    fake_midi_set_peer(nullptr);
    fake_midi_uninstall();
    free_tfr();
    close_log();
  }

  intptr_t run_to_end() {
    EXPECT_TRUE(host.wait_for_notice(ended, std::chrono::seconds(60)));
    free_midi();
    tfr_end();
    for (const auto& n : host.notices()) {
      if (n.id == IDM_TFR_END) return n.lparam;
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

TEST_F(TransferMidi, SystemUpdateAtVeryFastArrivesByteForByte) {

  const std::string image = make_update_image(0, 2, 1);
  write_file_bytes(dir.file("system.sys"), image);
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 0, 0);
  ASSERT_EQ(run_to_end(), 1);
  fake_midi_wait_idle();
  EXPECT_EQ(host.line(3), "Update Complete!");
  EXPECT_EQ(sim.record.packets, 32);
  EXPECT_TRUE(read_file_bytes(dir.file("received.img")) == image) << "the received image differs";
  // Every data packet went out as 18 chunks of 512 bytes and one of 156.
  const auto chunks = fake_midi_completed_chunks();
  int full = 0, tails = 0;
  for (unsigned c : chunks) {
    full += c == 512 ? 1 : 0;
    tails += c == 156 ? 1 : 0;
  }
  EXPECT_EQ(full, 32 * 18);
  EXPECT_EQ(tails, 32);
  const std::string log = log_text();
  EXPECT_NE(log.find("Sent packet 32 of 32...\r\n\r\nUpdate completed successfully.\r\n\r\n"), std::string::npos);
  EXPECT_TRUE(fake_midi_violations().empty());
}

TEST_F(TransferMidi, AbortInTheMiddle) {

  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 0, 0);
  ASSERT_TRUE(host.wait_for_line(2, "Tx Packet:  3"));
  stop_dialog_opened();
  stop_dialog_abort();
  EXPECT_EQ(query_tfr_stop(), 1);
  EXPECT_EQ(run_to_end(), 0);
  EXPECT_EQ(tfr_outcome().outcome, kOutcomeAborted);
  fake_midi_wait_idle();
  EXPECT_LT(sim.record.packets, 32);
  EXPECT_EQ(sim.record.updates_completed, 0);
  EXPECT_NE(log_text().find("User aborted update"), std::string::npos);
  EXPECT_EQ(fake_midi_live_memory(), 0);
  EXPECT_EQ(fake_midi_open_devices(), 0);
  EXPECT_TRUE(fake_midi_violations().empty());
}

TEST_F(TransferMidi, NoReplyTimesOutOnTheTickClock) {
  fake_midi_set_peer([](const unsigned char*, size_t) { return std::vector<unsigned char>(); });
  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 0, 0);
  EXPECT_EQ(run_to_end(), 0);
  EXPECT_EQ(host.line(3), "Receive Error(Timeout)");
  EXPECT_EQ(host.line(5), "MIDI configuration and cabling.");
}

// ---- How a failing or stopped MIDI exchange ends the transfer

// The stop dialog's Abort as the transfer thread meets it: from the
// user-interface thread, a pause, then the stop request, then (unless
// `wake` is false) the MIDI link's wake-up.
void abort_from_other_thread(bool wake) {
  std::thread([wake] {
    set_tfr_pause();
    set_tfr_stop();
    if (wake) midi_force_timeout();
  }).join();
}

// Calls `stop` at the n-th wait of a kind (from 1), counted from now.
void stop_at_wait(FakeMidiCall which, int n, std::function<void()> stop) {
  auto seen = std::make_shared<std::atomic<int>>(0);
  fake_midi_on_wait([which, n, seen, stop](FakeMidiCall call, unsigned) {
    if (call == which && seen->fetch_add(1) + 1 == n) stop();
  });
}

// Only what the transfer thread itself shows: lines 3 to 5 after the start.
std::vector<std::string> outcome(const HostRecorder& host) {
  return {host.line(3), host.line(4), host.line(5)};
}

TEST_F(TransferMidi, RefusedSendIsATransmitError) {
  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  fake_midi_refuse_sends(1, kMmNoDriver);
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 0, 0);
  EXPECT_EQ(run_to_end(), 0);
  EXPECT_EQ(outcome(host), (std::vector<std::string>{"Transmit Error", "Please contact technical support.", " "}));
  EXPECT_NE(log_text().find("Midi Out Error : Failed to send sysex ("), std::string::npos);
  EXPECT_EQ(sim.record.messages, 0);
}

TEST_F(TransferMidi, ReceiveThatCannotBeArmedEndsBeforeAnythingIsSent) {
  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  fake_midi_vanish(true);
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 0, 0);
  EXPECT_EQ(run_to_end(), 0);
  fake_midi_vanish(false);
  EXPECT_EQ(outcome(host),
            (std::vector<std::string>{"MIDI receive preparation failed.", "Please contact technical support.", " "}));
  EXPECT_NE(log_text().find("Midi In Error : Failed to add buffer to driver ("), std::string::npos);
  EXPECT_TRUE(fake_midi_sent_bytes().empty());
}

TEST_F(TransferMidi, StopDuringASendIsUpdateAborted) {
  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  // Without the version check: Set Mode is wait 1; packet 0's second chunk is wait 3.
  stop_at_wait(FakeMidiCall::kWaitAny, 3, [] { abort_from_other_thread(true); });
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 1, 0);
  EXPECT_EQ(run_to_end(), 0);
  fake_midi_on_wait(nullptr);
  EXPECT_EQ(outcome(host), (std::vector<std::string>{"Update Aborted", " ", " "}));
  EXPECT_EQ(sim.record.packets, 0);
  EXPECT_EQ(log_text().find("Sent packet"), std::string::npos);
}

TEST_F(TransferMidi, StopDuringAReceiveEndsWithoutAWord) {
  // The instrument answers Set Mode but not the first packet, so its receive waits.
  fake_midi_set_peer(fake_midi_message_peer([this](const std::vector<unsigned char>& message) {
    std::vector<unsigned char> reply;
    if (message.size() > 4 && message[4] == kMsgDataPacket) return reply;
    std::vector<SimAction> actions;
    for (unsigned char b : message) sim_feed(sim, b, actions);
    for (const auto& a : actions) reply.insert(reply.end(), a.bytes.begin(), a.bytes.end());
    return reply;
  }));
  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  auto sent_packet = std::make_shared<std::atomic<int>>(0);
  fake_midi_on_wait([sent_packet](FakeMidiCall call, unsigned) {
    // Waits 2 to 20 send packet 0; the first poll after them is its receive.
    if (call == FakeMidiCall::kWaitAny) sent_packet->fetch_add(1);
    if (call == FakeMidiCall::kSleep && sent_packet->load() >= 20) {
      sent_packet->store(-1000);
      abort_from_other_thread(true);
    }
  });
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 1, 0);
  EXPECT_EQ(run_to_end(), 0);
  fake_midi_on_wait(nullptr);
  EXPECT_EQ(outcome(host), (std::vector<std::string>{" ", " ", " "}));
  EXPECT_EQ(host.line(2), "Set Mode : f0 42 23 58 03 00 f7");
  const std::string log = log_text();
  EXPECT_EQ(log.find("Receive Error"), std::string::npos);
  EXPECT_EQ(log.find("Sent packet"), std::string::npos);
}

TEST_F(TransferMidi, StopRequestedDuringASendEndsRightAfterItWithoutTheReply) {
  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  // The stop request alone, without the wake-up: packet 0 goes out whole.
  stop_at_wait(FakeMidiCall::kWaitAny, 3, [] { abort_from_other_thread(false); });
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 1, 0);
  EXPECT_EQ(run_to_end(), 0);
  fake_midi_on_wait(nullptr);
  fake_midi_wait_idle();
  EXPECT_EQ(sim.record.packets, 1);
  // Its reply was never taken: no "Tx Packet" line, nothing shown or logged.
  for (const auto& text : host.line_history(2)) EXPECT_EQ(text.find("Tx Packet"), std::string::npos) << text;
  EXPECT_EQ(outcome(host), (std::vector<std::string>{" ", " ", " "}));
  EXPECT_EQ(log_text().find("Sent packet"), std::string::npos);
}

// ---- Replies the instrument never finished

// Answers like the instrument, but packet 1's reply is `cut`: a reply cut short
// by a status byte or a second F0. Packet 0's good reply is still in the input
// buffer, past the bytes that arrive for packet 1.
class TransferMidiCutReply : public TransferMidi {
 protected:
  void expect_refused(const std::vector<unsigned char>& cut, const std::string& line3) {
    fake_midi_set_peer(fake_midi_message_peer([this, cut](const std::vector<unsigned char>& message) {
      std::vector<SimAction> actions;
      for (unsigned char b : message) sim_feed(sim, b, actions);
      std::vector<unsigned char> reply;
      for (const auto& a : actions) reply.insert(reply.end(), a.bytes.begin(), a.bytes.end());
      if (message.size() > 5 && message[4] == kMsgDataPacket && message[5] == 1) return cut;
      return reply;
    }));
    write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
    ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
    tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 1, 0);
    EXPECT_EQ(run_to_end(), 0);
    EXPECT_EQ(host.line(3), line3);
    EXPECT_EQ(sim.record.updates_completed, 0);
    EXPECT_NE(log_text().find(line3 + "\r\n"), std::string::npos);
    EXPECT_EQ(log_text().find("Sent packet 2 of"), std::string::npos);
    EXPECT_TRUE(fake_midi_violations().empty());
  }
};

TEST_F(TransferMidiCutReply, ByASecondF0AfterTheCodeHasNoStatus) {
  expect_refused({0xF0, 0x42, 0x23, 0x58, 0x03, 0xF0}, "Rx Msg Error(5:Unknown Error)");
}

TEST_F(TransferMidiCutReply, ByADoubledStartByteIsNotAnOldGoodReply) {
  expect_refused({0xF0, 0xF0, 0x42, 0x23, 0x58, 0x03, 0x02, 0xF7}, "Rx Msg Error(1:Not PELD ID)");
}

TEST_F(TransferMidiCutReply, ByAStatusByteIsNotAnOldGoodReply) {
  expect_refused({0xF0, 0x80, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7}, "Rx Msg Error(1:Not PELD ID)");
}

}  // namespace

// ---- A stop asked for between two messages: nothing more goes out

// Asked for once the version reply is in: Set Mode, which would leave the
// instrument in update mode, never goes out.
TEST_F(TransferMidi, StopAfterTheVersionReplySendsNoSetMode) {
  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  host.set_line_hook([](int line, const std::string& text) {
    if (line == 2 && text.rfind("Target :", 0) == 0) abort_from_other_thread(true);
  });
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 0, 0);
  EXPECT_EQ(run_to_end(), 0);
  host.set_line_hook(nullptr);
  fake_midi_wait_idle();
  EXPECT_EQ(sim.record.version_requests, 1);
  EXPECT_EQ(sim.record.setmodes, 0);
  EXPECT_EQ(outcome(host), (std::vector<std::string>{"Update Aborted", " ", " "}));
  EXPECT_EQ(log_text().find("Sending 'Set Mode'"), std::string::npos);
}

// Asked for as the data packets begin (209 with lParam 1): packet 0 never goes out.
TEST_F(TransferMidi, StopAsThePacketsBeginSendsNoPacket) {
  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  host.set_post_hook([](int id, intptr_t lparam) {
    if (id == IDM_STOP_ENABLE && lparam == 1) abort_from_other_thread(true);
  });
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 1, 0);
  EXPECT_EQ(run_to_end(), 0);
  host.set_post_hook(nullptr);
  fake_midi_wait_idle();
  EXPECT_EQ(sim.record.setmodes, 1);
  EXPECT_EQ(sim.record.packets, 0);
  EXPECT_EQ(outcome(host), (std::vector<std::string>{"Update Aborted", " ", " "}));
  // Not one byte of a data packet went out (Set Mode is all that was sent).
  const std::vector<unsigned char> sent = fake_midi_sent_bytes();
  const unsigned char packet_head[] = {0xF0, 0x42, 0x23, 0x58, kMsgDataPacket};
  EXPECT_EQ(std::search(sent.begin(), sent.end(), std::begin(packet_head), std::end(packet_head)), sent.end());
}

// ---- One request, one reply, and a stop at the last reply

namespace {

// The instrument as the fixture's, with `extra` before the reply to packet
// `packet`'s first chunk: a stray reply that waits in the input while the rest goes out.
FakeMidiPeer sim_peer_with_stray(SimInstrument& sim, int packet, std::vector<unsigned char> extra) {
  return [&sim, packet, extra](const unsigned char* data, size_t length) {
    std::vector<unsigned char> reply;
    if (length > 6 && data[0] == 0xF0 && data[4] == kMsgDataPacket && data[5] == packet) reply = extra;
    std::vector<SimAction> actions;
    for (size_t i = 0; i < length; ++i) sim_feed(sim, data[i], actions);
    for (const auto& a : actions) reply.insert(reply.end(), a.bytes.begin(), a.bytes.end());
    return reply;
  };
}

}  // namespace

// A reply that arrives while a packet is still going out answers nothing: taken
// as the last packet's answer, it would hide the instrument's Write Error.
TEST_F(TransferMidi, AReplyCaughtBeforeTheLastChunkIsNotTheAnswer) {
  SimConfig config;
  config.image_path = dir.file("received.img");
  config.status_step = {SimStep::kPacket, 31};
  config.status_value = 5;
  sim_reset(sim, config);
  fake_midi_set_peer(sim_peer_with_stray(sim, 31, {0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7}));
  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 0, 0);
  EXPECT_EQ(run_to_end(), 0);
  EXPECT_EQ(host.line(3), "Rx Msg Error(5:Write Error)");
  EXPECT_NE(log_text().find("Discarded 7 bytes received before the request"), std::string::npos);
}

class TransferMidiLastReply : public TransferMidi, public ::testing::WithParamInterface<bool> {};

// The stop comes while the last packet's reply is awaited: that reply (a Write
// Error, held back until the stop has come) or its absence (the time-out) ends
// the update, not the stop.
TEST_P(TransferMidiLastReply, StopThenTheInstrumentsAnswerEndsIt) {
  const bool silent = GetParam();
  SimConfig config;
  config.image_path = dir.file("received.img");
  config.status_step = {SimStep::kPacket, 31};
  config.status_value = 5;
  sim_reset(sim, config);
  struct Kept {
    std::mutex mutex;
    std::vector<unsigned char> reply;
  };
  auto kept = std::make_shared<Kept>();
  auto in_last = std::make_shared<bool>(false);  // the fake's thread alone
  fake_midi_set_peer([this, kept, in_last](const unsigned char* data, size_t length) {
    if (length > 6 && data[0] == 0xF0 && data[4] == kMsgDataPacket && data[5] == 31) *in_last = true;
    std::vector<unsigned char> reply;
    std::vector<SimAction> actions;
    for (size_t i = 0; i < length; ++i) sim_feed(sim, data[i], actions);
    for (const auto& a : actions) reply.insert(reply.end(), a.bytes.begin(), a.bytes.end());
    if (*in_last && !reply.empty()) {
      std::lock_guard<std::mutex> lock(kept->mutex);
      kept->reply.swap(reply);  // kept back
    }
    return reply;
  });
  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  auto stopped = std::make_shared<std::atomic<bool>>(false);
  fake_midi_on_wait([kept, stopped, silent](FakeMidiCall call, unsigned) {
    // The first poll of a receive once the last reply is kept back is the last packet's receive.
    if (call != FakeMidiCall::kSleep) return;
    std::vector<unsigned char> reply;
    {
      std::lock_guard<std::mutex> lock(kept->mutex);
      if (kept->reply.empty() || stopped->exchange(true)) return;
      reply = kept->reply;
    }
    abort_from_other_thread(true);
    if (!silent) fake_midi_deliver(reply);
  });
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 1, 0);
  EXPECT_EQ(run_to_end(), 0);
  fake_midi_on_wait(nullptr);
  stop_dialog_aborted();
  EXPECT_TRUE(stopped->load());
  EXPECT_EQ(host.line(3), silent ? "Receive Error(Timeout)" : "Rx Msg Error(5:Write Error)");
  EXPECT_EQ(tfr_outcome().outcome, kOutcomeDeviceError);
  const std::string log = log_text();
  EXPECT_EQ(log.find("User aborted update"), std::string::npos);
  EXPECT_EQ(log.find("Update completed successfully."), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(WriteErrorOrSilence, TransferMidiLastReply, ::testing::Bool());
