// Whole updates over the MIDI link into the simulated instrument, with the fake
// driver standing in for the platform's (winmm on Windows, ALSA on Linux).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/transfer.h"
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
  xferrate = 0;
  const std::string image = make_update_image(0, 2, 1);
  write_file_bytes(dir.file("system.sys"), image);
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 0);
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
  xferrate = 0;
  write_file_bytes(dir.file("system.sys"), make_update_image(0, 2, 1));
  ASSERT_EQ(set_midi(kWindow, 0, 0), 1);
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 0);
  ASSERT_TRUE(host.wait_for_line(2, "Tx Packet:  3"));
  stop_dialog_opened();
  stop_dialog_abort();
  EXPECT_EQ(query_tfr_stop(), 1);
  EXPECT_EQ(run_to_end(), 0);
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
  tfr_main(kWindow, dir.file("system.sys").c_str(), 1, 0);
  EXPECT_EQ(run_to_end(), 0);
  EXPECT_EQ(host.line(3), "Receive Error(Timeout)");
  EXPECT_EQ(host.line(5), "MIDI configuration and cabling.");
}

}  // namespace
