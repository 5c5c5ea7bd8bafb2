// The MIDI link over the fake driver: opening and releasing, paced sending,
// receiving into the two buffers, time-outs and stops, and whole exchanges
// with a scripted instrument. Times are the fake driver's clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/midi_link.h"
#include "support/support_log.h"
#include "tests/fake_midi_driver.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;
WindowHandle const kWindow = reinterpret_cast<WindowHandle>(0x1234);

// The instrument: collects each message up to its F7 and answers it.
class ScriptedInstrument {
 public:
  using Answer = std::function<Bytes(const Bytes&)>;
  explicit ScriptedInstrument(Answer answer = standard_answer) : answer_(std::move(answer)) {}
  // The fake stops calling this instrument before it goes.
  ~ScriptedInstrument() { fake_midi_set_peer(nullptr); }
  ScriptedInstrument(const ScriptedInstrument&) = delete;
  ScriptedInstrument& operator=(const ScriptedInstrument&) = delete;

  FakeMidiPeer peer() {
    return [this](const unsigned char* data, size_t length) {
      std::lock_guard<std::mutex> lock(mutex_);
      current_.insert(current_.end(), data, data + length);
      if (current_.empty() || current_.back() != 0xF7) return Bytes{};
      messages_.push_back(current_);
      Bytes reply = answer_(current_);
      current_.clear();
      return reply;
    };
  }
  std::vector<Bytes> messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

  static Bytes standard_answer(const Bytes& msg) {
    if (msg.size() < 6 || msg[0] != 0xF0) return {};
    if (msg[4] == 0x00) return {0xF0, 0x42, 0x23, 0x58, 0x01, 0x05, 0x01, 0x06, 0x01, 0x07, 0x01, 0xF7};
    return {0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7};
  }

 private:
  mutable std::mutex mutex_;
  Answer answer_;
  Bytes current_;
  std::vector<Bytes> messages_;
};

Bytes data_packet(int number) {
  Bytes p{0xF0, 0x42, 0x23, 0x58, 0x04, static_cast<unsigned char>(number & 0x7F),
          static_cast<unsigned char>((number >> 7) & 0x7F)};
  for (int i = 0; i < 9363; ++i) p.push_back(static_cast<unsigned char>((i * 7 + number) & 0x7F));
  p.push_back(0x11);
  p.push_back(0xF7);
  return p;
}

// Releasing the link never waits on a device longer than this: a chunk of 512
// bytes takes 164 ms at 31,250 baud.
constexpr int kShortWaitMs = 200;

const Bytes kVersionRequest{0xF0, 0x42, 0x23, 0x58, 0x00, 0xF7};

std::vector<FakeMidiStep> steps_of(FakeMidiCall call) {
  std::vector<FakeMidiStep> out;
  for (const auto& s : fake_midi_steps()) {
    if (s.call == call) out.push_back(s);
  }
  return out;
}

// Runs f on a thread of its own, as the transfer thread would.
template <typename F>
int on_transfer_thread(F f) {
  auto result = std::async(std::launch::async, f);
  if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "the link did not return";
  }
  return result.get();
}

// The stop dialog's Abort, from a thread other than the link's.
void stop_from_other_thread() { std::thread(midi_force_timeout).join(); }

class MidiLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_midi_install(2, 2);
    ASSERT_EQ(1, open_log());
  }
  void TearDown() override {
    free_midi();
    EXPECT_EQ(0, fake_midi_live_memory());
    EXPECT_EQ(0, fake_midi_live_events());
    EXPECT_EQ(0, fake_midi_open_devices());
    EXPECT_TRUE(fake_midi_violations().empty()) << fake_midi_violations().front();
    close_log();
    fake_midi_uninstall();
  }
  std::string log() const { return read_file_bytes(dir_.file(kLogFileName)); }
  void expect_closed() {
    EXPECT_EQ(0, midi_link_is_open());
    EXPECT_EQ(0, fake_midi_live_memory());
    EXPECT_EQ(0, fake_midi_live_events());
    EXPECT_EQ(0, fake_midi_open_devices());
  }
  // One request and its reply: arm, send, receive.
  int exchange(const Bytes& request, unsigned char* reply, int length = 16, int rate = 0) {
    if (!rx_midi_setbuffer()) return 0;
    const int sent = tx_data_midi(kWindow, request.data(), static_cast<int>(request.size()), rate);
    if (sent != 1) return sent;
    return rx_data_midi(kWindow, reply, length);
  }

  TempDir dir_;
  HostRecorder host_;
};

// --- texts ---

TEST(MidiTextTest, OpenErrorWords) {
  const std::pair<unsigned, const char*> words[] = {
      {2, "Bad Device ID"}, {4, "Allocated"},     {5, "Invalid Handle"},
      {7, "Not Enough Memory"}, {10, "Invalid Flags"}, {11, "Invalid Param"},
      {64, "Unprepared"},   {65, "Still Playing"}, {0, "Unexpected Error"},
      {1, "Unexpected Error"}, {67, "Unexpected Error"}, {1000, "Unexpected Error"}};
  for (const auto& w : words) {
    char text[64];
    get_mmresult(w.first, text, sizeof text);
    EXPECT_STREQ(w.second, text) << w.first;
  }
  char small[5];
  get_mmresult(2, small, sizeof small);
  EXPECT_STREQ("Bad ", small);
}

TEST_F(MidiLinkTest, PlatformErrorTextsAndAnEmptyTextForAnUnknownCode) {
  EXPECT_STREQ("fake out: device busy", get_midi_out_err(67));
  EXPECT_STREQ("fake in: device gone", get_midi_in_err(6));
  EXPECT_STREQ("", get_midi_out_err(12345));
  EXPECT_STREQ("", get_midi_in_err(12345));
}

TEST_F(MidiLinkTest, DeviceTextNamesBothDevicesAndTheirVersions) {
  EXPECT_STREQ("MidiOut  : Fake MIDI Out 1 v1.2 (0x102)\nMidiIn   : Fake MIDI In 2 v1.2 (0x102)",
               get_midi_cfg(0, 1));
  fake_midi_set_version(0x0A0B);
  EXPECT_STREQ("MidiOut  : Fake MIDI Out 2 v10.11 (0xa0b)\nMidiIn   : Fake MIDI In 1 v10.11 (0xa0b)",
               get_midi_cfg(1, 0));
}

TEST_F(MidiLinkTest, DeviceTextWithoutCapabilitiesIsEmptyWithVersionZero) {
  EXPECT_STREQ("MidiOut  :  v0.0 (0x0)\nMidiIn   :  v0.0 (0x0)", get_midi_cfg(7, -1));
}

// --- opening and releasing ---

TEST_F(MidiLinkTest, SetMidiOpensBothDevicesWithHeadersAndBuffersInDriverMemory) {
  ASSERT_EQ(1, set_midi(kWindow, 1, 0));
  EXPECT_EQ(2, fake_midi_open_devices());
  EXPECT_EQ(6, fake_midi_live_memory());
  EXPECT_EQ(2, fake_midi_live_events());
  const std::vector<unsigned> flags{0x2042, 0x2042, 0x2042, 0x2042, 0x2042, 0x42};
  EXPECT_EQ(flags, fake_midi_alloc_flags());
  EXPECT_TRUE(host_.boxes().empty());
  EXPECT_EQ(1, fake_midi_in_resets());  // input reset once, and not started
}

TEST_F(MidiLinkTest, EveryMemoryFailureShowsItsTextAndLeavesNothing) {
  const char* const alloc_texts[] = {
      "Not Enough Memory(Alloc MIDIINHDR)", "Not Enough Memory(Alloc MIDIINHDR)",
      "Not Enough Memory(Alloc MIDIOUTHDR)", "Not Enough Memory(Alloc ExcIn)",
      "Not Enough Memory(Alloc ExcIn)", "Not Enough Memory(Alloc ExcOut)"};
  const char* const lock_texts[] = {
      "Not Enough Memory(Lock MIDIINHDR)", "Not Enough Memory(Lock MIDIINHDR)",
      "Not Enough Memory(Lock MIDIOUTHDR)", "Not Enough Memory(Lock ExcIn)",
      "Not Enough Memory(Lock ExcIn)", "Not Enough Memory(Lock ExcOut)"};
  size_t expected_boxes = 0;
  for (int lock = 0; lock < 2; ++lock) {
    for (int n = 1; n <= 6; ++n) {
      fake_midi_fail_alloc(n, lock != 0);
      EXPECT_EQ(0, set_midi(kWindow, 0, 0));
      const auto boxes = host_.boxes();
      ASSERT_EQ(++expected_boxes, boxes.size());
      EXPECT_EQ(lock ? lock_texts[n - 1] : alloc_texts[n - 1], boxes.back().text);
      EXPECT_EQ("Error", boxes.back().caption);
      EXPECT_EQ(kWindow, boxes.back().owner);
      EXPECT_EQ(unsigned{kMbOk | kMbSetForeground}, boxes.back().style);
      expect_closed();
    }
  }
  EXPECT_EQ(std::string::npos, log().find("Not Enough Memory"));  // boxes only
  EXPECT_EQ(1, set_midi(kWindow, 0, 0));
}

TEST_F(MidiLinkTest, InputOpenFailureIsLoggedAndShown) {
  fake_midi_fail_open(false, kMmAllocated);
  EXPECT_EQ(0, set_midi(kWindow, 0, 0));
  EXPECT_NE(std::string::npos, log().find("Midi In Open Error : Allocated\r\n"));
  ASSERT_EQ(1u, host_.boxes().size());
  EXPECT_EQ("Midi In Open Error : Allocated", host_.boxes()[0].text);
  EXPECT_EQ("Error", host_.boxes()[0].caption);
  expect_closed();
}

TEST_F(MidiLinkTest, OutputOpenFailureAfterTheInputOpenedLeavesNothingOpen) {
  fake_midi_fail_open(true, kMmNoMem);
  EXPECT_EQ(0, set_midi(kWindow, 0, 0));
  EXPECT_NE(std::string::npos, log().find("Midi Out Open Error : Not Enough Memory\r\n"));
  ASSERT_EQ(1u, host_.boxes().size());
  EXPECT_EQ("Midi Out Open Error : Not Enough Memory", host_.boxes()[0].text);
  expect_closed();
  fake_midi_fail_open(true, 0);
  EXPECT_EQ(1, set_midi(kWindow, 0, 0));  // and a new attempt works
}

TEST_F(MidiLinkTest, DeviceIdsOfMinusOneOrOutOfRangeAreBadDeviceIds) {
  EXPECT_EQ(0, set_midi(kWindow, 0, -1));
  EXPECT_EQ(0, set_midi(kWindow, -1, 0));
  EXPECT_EQ(0, set_midi(kWindow, 0, 2));
  EXPECT_EQ(0, set_midi(kWindow, 9, 1));
  const auto boxes = host_.boxes();
  ASSERT_EQ(4u, boxes.size());
  EXPECT_EQ("Midi In Open Error : Bad Device ID", boxes[0].text);
  EXPECT_EQ("Midi Out Open Error : Bad Device ID", boxes[1].text);
  EXPECT_EQ("Midi In Open Error : Bad Device ID", boxes[2].text);
  EXPECT_EQ("Midi Out Open Error : Bad Device ID", boxes[3].text);
  expect_closed();
}

TEST_F(MidiLinkTest, AnUnlistedOpenCodeIsAnUnexpectedError) {
  fake_midi_fail_open(false, kMidiErrNotReady);
  EXPECT_EQ(0, set_midi(kWindow, 0, 0));
  EXPECT_NE(std::string::npos, log().find("Midi In Open Error : Unexpected Error"));
}

TEST_F(MidiLinkTest, FreeMidiOnAClosedLinkAndTwiceInARowDoesNothing) {
  free_midi();
  expect_closed();
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  free_midi();
  expect_closed();
  free_midi();
  expect_closed();
  EXPECT_TRUE(fake_midi_violations().empty());
}

TEST_F(MidiLinkTest, FreeMidiWhileListeningGetsTheInputBuffersBack) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  ASSERT_EQ(1, rx_midi_setbuffer());
  free_midi();
  expect_closed();
  EXPECT_TRUE(fake_midi_violations().empty());
}

TEST_F(MidiLinkTest, ReleaseOrderIsDevicesThenMemoryThenEvents) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  ASSERT_EQ(1, rx_midi_setbuffer());
  fake_midi_clear_release_steps();
  free_midi();
  const std::string hdr = "free " + std::to_string(sizeof(MidiHdr));
  const std::vector<std::string> expected{
      "out_unprepare", "out_close", "in_reset", "in_unprepare", "in_unprepare", "in_close",
      "free 12288",    hdr,         "free 256", hdr,            "free 256",     hdr,
      "event_close 1", "event_close 2"};  // hEvtWakeUp was made first, then hEvtOut
  EXPECT_EQ(expected, fake_midi_release_steps());
}

TEST_F(MidiLinkTest, AChunkStillInFlightIsResetBackBeforeTheOutputIsReleased) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  fake_midi_hold_completions(true);
  fake_midi_on_wait([](FakeMidiCall call, unsigned) {
    if (call == FakeMidiCall::kWaitAny) stop_from_other_thread();
  });
  EXPECT_EQ(-1, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
  fake_midi_on_wait(nullptr);
  fake_midi_clear_release_steps();
  free_midi();
  const auto steps = fake_midi_release_steps();
  ASSERT_GE(steps.size(), 3u);
  EXPECT_EQ("out_reset", steps[0]);
  EXPECT_EQ("out_unprepare", steps[1]);
  EXPECT_EQ("out_close", steps[2]);
  EXPECT_TRUE(fake_midi_violations().empty());
  // free_midi waited for the done notice first, then once more after the reset,
  // each time no longer than a chunk takes to go out.
  const auto waits = steps_of(FakeMidiCall::kWaitOne);
  ASSERT_EQ(2u, waits.size());
  EXPECT_EQ(kWaitTimeout, waits[0].result);
  EXPECT_EQ(kWaitObject0, waits[1].result);
  EXPECT_EQ(unsigned{kMidiReleaseWaitMs}, waits[0].arg);
  EXPECT_EQ(unsigned{kMidiReleaseWaitMs}, waits[1].arg);
  EXPECT_LE(waits[0].arg, unsigned{kShortWaitMs});
  EXPECT_EQ(kMidiReleaseWaitMs, fake_midi_now_ms());
}

TEST_F(MidiLinkTest, AChunkThatNeverComesBackIsLeftToTheDriverAndTheRestIsReleased) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  ASSERT_EQ(1, rx_midi_setbuffer());
  fake_midi_hold_completions(true);
  fake_midi_keep_chunks_through_resets(true);
  EXPECT_EQ(0, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));  // the completion wait runs out
  const long long before = fake_midi_now_ms();
  free_midi();
  EXPECT_LE(fake_midi_now_ms() - before, 2 * kShortWaitMs);  // two short waits at most
  EXPECT_EQ(1, fake_midi_out_resets());
  // The output header and buffer are not freed under the driver; all else is released.
  EXPECT_TRUE(fake_midi_violations().empty()) << fake_midi_violations().front();
  EXPECT_EQ(2, fake_midi_live_memory());
  EXPECT_EQ(0, fake_midi_live_events());
  EXPECT_EQ(0, midi_link_is_open());
  const std::string hdr = "free " + std::to_string(sizeof(MidiHdr));
  const auto steps = fake_midi_release_steps();
  EXPECT_EQ(steps.end(), std::find(steps.begin(), steps.end(), "free 12288"));
  EXPECT_EQ(2, static_cast<int>(std::count(steps.begin(), steps.end(), hdr)));  // the input headers only
  EXPECT_EQ(2, static_cast<int>(std::count(steps.begin(), steps.end(), "free 256")));
  fake_midi_install(2, 2);  // the driver goes, and with it what it kept
}

TEST_F(MidiLinkTest, AChunkThatCompletesLateIsNotReset) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  // The stop comes once the chunk is queued: the wait for it ends, the chunk goes on regardless.
  fake_midi_on_wait([](FakeMidiCall call, unsigned) {
    if (call == FakeMidiCall::kWaitAny) midi_force_timeout();
  });
  EXPECT_EQ(-1, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
  fake_midi_on_wait(nullptr);
  fake_midi_clear_release_steps();
  free_midi();
  EXPECT_EQ(0, fake_midi_out_resets());
  EXPECT_EQ(kSetModeSystemMessage, fake_midi_sent_bytes());
}

// --- sending ---

struct RateCase {
  int rate;
  unsigned chunk;
  int full_chunks;
  unsigned pause;
};

TEST_F(MidiLinkTest, ANineThousandBytePacketAtEachRate) {
  const RateCase cases[] = {{0, 512, 18, 0}, {1, 512, 18, 330}, {2, 256, 36, 330}, {3, 256, 36, 500}};
  const Bytes packet = data_packet(3);
  ASSERT_EQ(9372u, packet.size());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    fake_midi_install(1, 1);
    ASSERT_EQ(1, set_midi(kWindow, 0, 0));
    EXPECT_EQ(1, tx_data_midi(kWindow, packet.data(), 9372, c.rate));
    std::vector<unsigned> expected(static_cast<size_t>(c.full_chunks), c.chunk);
    expected.push_back(156);
    EXPECT_EQ(expected, fake_midi_completed_chunks());
    EXPECT_EQ(packet, fake_midi_sent_bytes());
    // Per chunk: the send, its completion wait, then its pause.
    const auto steps = fake_midi_steps();
    const size_t per_chunk = c.pause ? 3 : 2;
    ASSERT_EQ(expected.size() * per_chunk, steps.size());
    for (size_t k = 0; k < expected.size(); ++k) {
      const auto* s = &steps[k * per_chunk];
      EXPECT_EQ(FakeMidiCall::kSend, s[0].call);
      EXPECT_EQ(expected[k], s[0].arg);
      EXPECT_EQ(FakeMidiCall::kWaitAny, s[1].call);
      EXPECT_EQ(kWaitObject0 + 1, s[1].result);
      EXPECT_EQ(1000u, s[1].arg);
      if (c.pause) {
        EXPECT_EQ(FakeMidiCall::kWaitOne, s[2].call);
        EXPECT_EQ(c.pause, s[2].arg);
        EXPECT_EQ(c.pause, s[2].elapsed_ms);
      }
    }
    EXPECT_EQ(static_cast<long long>(expected.size()) * c.pause, fake_midi_now_ms());
    free_midi();
    EXPECT_TRUE(fake_midi_violations().empty());
  }
  EXPECT_EQ(0, fake_midi_now_ms() % 10);
}

TEST_F(MidiLinkTest, ChunksEndWithTheRemainderAndNoEmptyChunk) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  Bytes data(1200, 0x01);
  EXPECT_EQ(1, tx_data_midi(kWindow, data.data(), 1200, 2));
  EXPECT_EQ((std::vector<unsigned>{256, 256, 256, 256, 176}), fake_midi_completed_chunks());
  EXPECT_EQ(5 * 330, fake_midi_now_ms());
  Bytes exact(1024, 0x02);
  EXPECT_EQ(1, tx_data_midi(kWindow, exact.data(), 1024, 2));
  EXPECT_EQ(9u, fake_midi_completed_chunks().size());
}

TEST_F(MidiLinkTest, TenBusyRefusalsAreLoggedZeroToNineThenTheWaitRunsOut) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  fake_midi_refuse_sends(10);
  EXPECT_EQ(0, tx_data_midi(kWindow, kVersionRequest.data(), 6, 0));
  const std::string text = log();
  size_t at = 0;
  for (int i = 0; i < 10; ++i) {
    const std::string warning =
        "Midi Out Warning : Failed to send sysex, device is busy. Retry #" + std::to_string(i) + "\r\n";
    const size_t found = text.find(warning, at);
    ASSERT_NE(std::string::npos, found) << i;
    at = found + warning.size();
  }
  EXPECT_EQ(std::string::npos, text.find("Retry #10"));
  EXPECT_NE(std::string::npos,
            text.find("Midi Out Error : Timed out waiting for MOM_DONE notification from driver.", at));
  const auto sends = steps_of(FakeMidiCall::kSend);
  ASSERT_EQ(10u, sends.size());
  for (const auto& s : sends) EXPECT_EQ(unsigned{kMidiErrNotReady}, s.result);
  for (size_t i = 1; i < sends.size(); ++i) EXPECT_EQ(15, sends[i].at_ms - sends[i - 1].at_ms);
  const auto waits = steps_of(FakeMidiCall::kWaitAny);
  ASSERT_EQ(1u, waits.size());
  EXPECT_EQ(kWaitTimeout, waits[0].result);
  EXPECT_EQ(1000, waits[0].elapsed_ms);
  EXPECT_TRUE(fake_midi_sent_bytes().empty());
  // The device is free again: the next send goes out.
  EXPECT_EQ(1, tx_data_midi(kWindow, kVersionRequest.data(), 6, 0));
  EXPECT_EQ(kVersionRequest, fake_midi_sent_bytes());
}

TEST_F(MidiLinkTest, ABusyDeviceThatAcceptsLaterDeliversTheChunk) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  fake_midi_refuse_sends(3);
  EXPECT_EQ(1, tx_data_midi(kWindow, kVersionRequest.data(), 6, 0));
  EXPECT_NE(std::string::npos, log().find("Retry #2"));
  EXPECT_EQ(std::string::npos, log().find("Retry #3"));
  EXPECT_EQ(kVersionRequest, fake_midi_sent_bytes());
  EXPECT_EQ(45, fake_midi_now_ms());
}

TEST_F(MidiLinkTest, ADeviceThatRefusesEverySendFailsEachSendAndTheLinkRecovers) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  fake_midi_refuse_sends(-1);
  EXPECT_EQ(0, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 1));
  EXPECT_EQ(0, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 1));
  free_midi();
  expect_closed();
  fake_midi_refuse_sends(0);
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  EXPECT_EQ(1, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 1));
}

TEST_F(MidiLinkTest, ASendErrorIsLoggedWithThePlatformText) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  fake_midi_refuse_sends(1, kMmInvalHandle);
  EXPECT_EQ(0, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
  EXPECT_NE(std::string::npos,
            log().find("Midi Out Error : Failed to send sysex (fake out: invalid handle).\r\n"));
  EXPECT_TRUE(steps_of(FakeMidiCall::kWaitAny).empty());
}

TEST_F(MidiLinkTest, ACompletionThatNeverComesTimesOutAndFreeGetsTheChunkBack) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  fake_midi_hold_completions(true);
  EXPECT_EQ(0, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
  EXPECT_NE(std::string::npos,
            log().find("Midi Out Error : Timed out waiting for MOM_DONE notification from driver.\r\n"));
  EXPECT_EQ(1000, fake_midi_now_ms());
  // A further send does not touch the buffer the driver still holds.
  EXPECT_EQ(0, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
  EXPECT_EQ(1u, steps_of(FakeMidiCall::kSend).size());
  const long long before = fake_midi_now_ms();
  free_midi();
  EXPECT_EQ(1, fake_midi_out_resets());
  EXPECT_LE(fake_midi_now_ms() - before, kShortWaitMs);  // one short wait, then the reset
  expect_closed();
}

TEST_F(MidiLinkTest, AFailedCompletionWaitIsLoggedWithTheErrorCode) {
  ScriptedInstrument xr;
  fake_midi_set_peer(xr.peer());
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  fake_midi_fail_completion_waits(true);
  EXPECT_EQ(0, tx_data_midi(kWindow, data_packet(1).data(), 9372, 1));
  EXPECT_NE(std::string::npos, log().find("Wait failed in tx_data_midi (Error=6)\r\n"));
  EXPECT_EQ(1u, steps_of(FakeMidiCall::kSend).size());  // no further chunk
  EXPECT_TRUE(steps_of(FakeMidiCall::kWaitOne).empty());  // and no pause
  EXPECT_EQ(std::string::npos, log().find("MOM_DONE"));
  fake_midi_fail_completion_waits(false);
  free_midi();
  expect_closed();
}

TEST_F(MidiLinkTest, ADoneNoticeFromAnotherDeviceOrOfAnotherKindDoesNotEndTheCompletionWait) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  fake_midi_hold_completions(true);
  int other = 0;
  const MidiHandle out = fake_midi_out_handle();
  ASSERT_NE(nullptr, out);
  // While the link waits for its chunk: notices that are not its own.
  fake_midi_on_wait([&](FakeMidiCall call, unsigned) {
    if (call != FakeMidiCall::kWaitAny) return;
    MidiOutProc(&other, kMomDone, 0, 0, 0);
    MidiOutProc(nullptr, kMomDone, 0, 0, 0);
    MidiOutProc(out, kMomOpen, 0, 0, 0);
    MidiOutProc(out, kMomClose, 0, 0, 0);
    MidiOutProc(out, kMimLongData, 0, 0, 0);
  });
  EXPECT_EQ(0, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
  EXPECT_NE(std::string::npos,
            log().find("Midi Out Error : Timed out waiting for MOM_DONE notification from driver."));
  const auto waits = steps_of(FakeMidiCall::kWaitAny);
  ASSERT_EQ(1u, waits.size());
  EXPECT_EQ(kWaitTimeout, waits[0].result);
  fake_midi_on_wait(nullptr);
}

TEST_F(MidiLinkTest, AStopDuringTheCompletionWaitReturnsMinusOneAtOnce) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  fake_midi_hold_completions(true);
  fake_midi_on_wait([](FakeMidiCall call, unsigned) {
    if (call == FakeMidiCall::kWaitAny) stop_from_other_thread();
  });
  const Bytes packet = data_packet(0);
  EXPECT_EQ(-1, on_transfer_thread([&] { return tx_data_midi(kWindow, packet.data(), 9372, 1); }));
  const auto waits = steps_of(FakeMidiCall::kWaitAny);
  ASSERT_EQ(1u, waits.size());
  EXPECT_EQ(kWaitObject0, waits[0].result);
  EXPECT_EQ(0, waits[0].elapsed_ms);
  EXPECT_EQ(0, fake_midi_now_ms());
  fake_midi_on_wait(nullptr);
  free_midi();  // the chunk still with the driver comes back before anything is freed
  expect_closed();
}

TEST_F(MidiLinkTest, AStopDuringAPauseEndsItAndNoFurtherChunkGoesOut) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  int pauses = 0;
  fake_midi_on_wait([&](FakeMidiCall call, unsigned) {
    if (call == FakeMidiCall::kWaitOne && ++pauses == 3) stop_from_other_thread();
  });
  Bytes data(1200, 0x05);
  EXPECT_EQ(-1, on_transfer_thread([&] { return tx_data_midi(kWindow, data.data(), 1200, 2); }));
  const auto pause_steps = steps_of(FakeMidiCall::kWaitOne);
  ASSERT_EQ(3u, pause_steps.size());
  EXPECT_EQ(330, pause_steps[1].elapsed_ms);
  EXPECT_EQ(0, pause_steps[2].elapsed_ms);  // ended by the stop
  EXPECT_EQ(3u, steps_of(FakeMidiCall::kSend).size());  // the chunk after the pause never goes
  EXPECT_EQ(3u, steps_of(FakeMidiCall::kWaitAny).size());
  EXPECT_EQ(2 * 330, fake_midi_now_ms());
  fake_midi_on_wait(nullptr);
}

TEST_F(MidiLinkTest, AStopDuringTheLastPauseStillReportsTheSend) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  int pauses = 0;
  fake_midi_on_wait([&](FakeMidiCall call, unsigned) {
    if (call == FakeMidiCall::kWaitOne && ++pauses == 5) stop_from_other_thread();
  });
  Bytes data(1200, 0x05);
  EXPECT_EQ(1, on_transfer_thread([&] { return tx_data_midi(kWindow, data.data(), 1200, 3); }));
  EXPECT_EQ(4 * 500, fake_midi_now_ms());
  fake_midi_on_wait(nullptr);
  // From now on every wait ends at once.
  EXPECT_EQ(-1, tx_data_midi(kWindow, data.data(), 1200, 3));
}

TEST_F(MidiLinkTest, ADeviceThatVanishesFailsTheNextSendAndAllIsReleased) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  EXPECT_EQ(1, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
  fake_midi_vanish(true);
  EXPECT_EQ(0, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
  EXPECT_NE(std::string::npos,
            log().find("Midi Out Error : Failed to prepare output buffer for re-use (fake out: device gone)\r\n"));
  EXPECT_EQ(0, rx_midi_setbuffer());
  EXPECT_NE(std::string::npos,
            log().find("Midi In Error : Failed to add buffer to driver (fake in: device gone)\r\n"));
  free_midi();
  expect_closed();
  EXPECT_EQ(0, set_midi(kWindow, 0, 0));
  EXPECT_EQ("Midi In Open Error : Bad Device ID", host_.boxes().back().text);
  fake_midi_vanish(false);
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  EXPECT_EQ(1, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
}

TEST_F(MidiLinkTest, ADeviceThatVanishesDuringAReceiveTimesOutAndANewTransferWorks) {
  ScriptedInstrument xr([](const Bytes& msg) {
    fake_midi_vanish(true);  // gone before it can answer
    return ScriptedInstrument::standard_answer(msg);
  });
  fake_midi_set_peer(xr.peer());
  fake_midi_set_ticker(add_midi_time);
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  unsigned char reply[16];
  EXPECT_EQ(-1, exchange(kSetModeSystemMessage, reply));
  free_midi();
  expect_closed();
  fake_midi_vanish(false);
  ScriptedInstrument fresh;
  fake_midi_set_peer(fresh.peer());
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  EXPECT_EQ(1, exchange(kSetModeSystemMessage, reply));
  EXPECT_EQ(0x03, reply[4]);
}

TEST_F(MidiLinkTest, SendingOnAClosedLinkFailsAndIsLogged) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));  // clears a stop left by an earlier test
  free_midi();
  EXPECT_EQ(0, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
  EXPECT_EQ(0, rx_midi_setbuffer());
  unsigned char reply[16];
  EXPECT_EQ(-1, rx_data_midi(kWindow, reply, 16));
  EXPECT_NE(std::string::npos, log().find("Midi Out Error : Failed to send sysex (fake out: invalid handle)."));
}

// --- receiving ---

TEST_F(MidiLinkTest, AReplyInBufferZeroIsCopied) {
  ScriptedInstrument xr;
  fake_midi_set_peer(xr.peer());
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  unsigned char reply[20];
  std::memset(reply, 0xEE, sizeof reply);
  EXPECT_EQ(1, exchange(kSetModeSystemMessage, reply));
  const Bytes expected{0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(expected, Bytes(reply, reply + 16));
  EXPECT_EQ(0xEE, reply[16]);  // exactly 16 bytes
  EXPECT_EQ(0, midi_rxmidi_status());
  EXPECT_EQ(std::vector<Bytes>{kSetModeSystemMessage}, xr.messages());
}

TEST_F(MidiLinkTest, ASixteenByteReceiveOfAShorterReplyTakesOnlyWhatArrived) {
  int calls = 0;
  ScriptedInstrument xr([&](const Bytes&) {
    if (++calls == 1) {
      Bytes first{0xF0};
      for (int i = 1; i < 19; ++i) first.push_back(static_cast<unsigned char>(0x10 + i));
      first.push_back(0xF7);
      return first;
    }
    return Bytes{0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7};
  });
  fake_midi_set_peer(xr.peer());
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  unsigned char reply[16];
  ASSERT_EQ(1, exchange(kSetModeSystemMessage, reply));
  ASSERT_TRUE(rx_midi_setbuffer());
  ASSERT_EQ(1, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
  int received = -1;
  ASSERT_EQ(1, rx_data_midi(kWindow, reply, 16, &received));
  EXPECT_EQ(7, received);
  // The longer reply before it is still in the buffer, past the recorded count:
  // none of it is taken.
  EXPECT_EQ((Bytes{0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
            Bytes(reply, reply + 16));
}

TEST_F(MidiLinkTest, AReplyLongerThanABufferIsTakenFromBufferZero) {
  Bytes long_reply{0xF0};
  for (int i = 1; i < 299; ++i) long_reply.push_back(static_cast<unsigned char>(i & 0x7F));
  long_reply.push_back(0xF7);
  ScriptedInstrument xr([&](const Bytes&) { return long_reply; });
  fake_midi_set_peer(xr.peer());
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  unsigned char reply[400];
  std::memset(reply, 0xEE, sizeof reply);
  ASSERT_EQ(1, exchange(kSetModeSystemMessage, reply, 400));
  EXPECT_EQ(Bytes(long_reply.begin(), long_reply.begin() + 256), Bytes(reply, reply + 256));
  EXPECT_EQ(0xEE, reply[256]);  // at most 256 bytes
}

TEST_F(MidiLinkTest, AReplyLongerThanBothBuffersStillGivesItsStartAndTheLinkGoesOn) {
  Bytes huge{0xF0};
  for (int i = 1; i < 700; ++i) huge.push_back(0x33);
  huge.push_back(0xF7);
  int calls = 0;
  ScriptedInstrument xr([&](const Bytes& msg) {
    return ++calls == 1 ? huge : ScriptedInstrument::standard_answer(msg);
  });
  fake_midi_set_peer(xr.peer());
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  unsigned char reply[16];
  ASSERT_EQ(1, exchange(kSetModeSystemMessage, reply));
  EXPECT_EQ(0xF0, reply[0]);
  EXPECT_EQ(0x33, reply[15]);
  ASSERT_EQ(1, exchange(kSetModeSystemMessage, reply));
  EXPECT_EQ(0x03, reply[4]);
}

TEST_F(MidiLinkTest, AReplyInBufferOneIsTakenWhenBufferZeroCameBackWithoutF0) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  ASSERT_EQ(1, rx_midi_setbuffer());
  fake_midi_return_raw({0x00, 0x01, 0x02}, {0xF0, 0x42, 0x23, 0x58, 0x03, 0x05}, 1);
  ASSERT_TRUE(fake_midi_wait_idle());
  unsigned char reply[16] = {};
  EXPECT_EQ(1, rx_data_midi(kWindow, reply, 16));
  EXPECT_EQ((Bytes{0xF0, 0x42, 0x23, 0x58, 0x03, 0x05}), Bytes(reply, reply + 6));
  EXPECT_EQ(0, midi_rxmidi_status());
}

TEST_F(MidiLinkTest, EachArmingClearsTheFirstByteOfBothBuffersAndNothingElse) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  ASSERT_EQ(1, rx_midi_setbuffer());
  fake_midi_return_raw({0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7}, {0xF0, 0x42, 0x23, 0x58, 0x03, 0x01, 0xF7}, 2);
  ASSERT_TRUE(fake_midi_wait_idle());
  unsigned char reply[16] = {};
  ASSERT_EQ(1, rx_data_midi(kWindow, reply, 16));
  EXPECT_EQ(0x00, reply[5]);
  // Both come back again with nothing new in them: the old replies do not count.
  ASSERT_EQ(1, rx_midi_setbuffer());
  fake_midi_return_raw({}, {}, 2);
  ASSERT_TRUE(fake_midi_wait_idle());
  EXPECT_EQ(-1, rx_data_midi(kWindow, reply, 16));
  // Only the first byte was cleared, but a reply of one byte is that byte alone:
  // what the buffer held before is not taken for the rest of it.
  ASSERT_EQ(1, rx_midi_setbuffer());
  fake_midi_return_raw({0xF0}, {}, 1);
  ASSERT_TRUE(fake_midi_wait_idle());
  std::memset(reply, 0xEE, sizeof reply);
  int received = -1;
  ASSERT_EQ(1, rx_data_midi(kWindow, reply, 7, &received));
  EXPECT_EQ(1, received);
  EXPECT_EQ((Bytes{0xF0, 0, 0, 0, 0, 0, 0, 0xEE}), Bytes(reply, reply + 8));
}

TEST_F(MidiLinkTest, AReceivedReplyLeavesTheInputStoppedThenResetWithEveryBufferBack) {
  ScriptedInstrument xr;
  fake_midi_set_peer(xr.peer());
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  ASSERT_EQ(1, rx_midi_setbuffer());
  EXPECT_TRUE(fake_midi_input_started());
  ASSERT_EQ(1, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));
  ASSERT_TRUE(fake_midi_wait_idle());
  EXPECT_EQ(1, fake_midi_input_buffers_held());  // buffer 1 is still with the driver
  fake_midi_clear_release_steps();
  unsigned char reply[16];
  ASSERT_EQ(1, rx_data_midi(kWindow, reply, 16));
  EXPECT_EQ((std::vector<std::string>{"in_stop", "in_reset"}), fake_midi_release_steps());
  EXPECT_FALSE(fake_midi_input_started());
  EXPECT_EQ(0, fake_midi_input_buffers_held());
  EXPECT_EQ(0, midi_rxmidi_status());
}

TEST_F(MidiLinkTest, NeitherBufferBeginningWithF0IsNoReply) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  ASSERT_EQ(1, rx_midi_setbuffer());
  const int resets = fake_midi_in_resets();
  fake_midi_return_raw({0x01, 0x02}, {0x03, 0x04}, 2);
  ASSERT_TRUE(fake_midi_wait_idle());
  unsigned char reply[16];
  EXPECT_EQ(-1, rx_data_midi(kWindow, reply, 16));
  EXPECT_EQ(resets + 1, fake_midi_in_resets());
  EXPECT_EQ(0, midi_rxmidi_status());
}

TEST_F(MidiLinkTest, NoReplyEndsAfterAHundredTicksWithInputStoppedAndReset) {
  fake_midi_set_ticker(add_midi_time);
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  unsigned char reply[16];
  const int resets = fake_midi_in_resets();
  EXPECT_EQ(-1, exchange(kSetModeSystemMessage, reply));
  EXPECT_EQ(100, midi_timecount());
  EXPECT_EQ(10000, fake_midi_now_ms());
  EXPECT_EQ(1000u, steps_of(FakeMidiCall::kSleep).size());
  // One when armed, one when armed afresh before the last chunk, one at the end.
  EXPECT_EQ(resets + 3, fake_midi_in_resets());
  EXPECT_EQ(0, midi_rxmidi_status());
  EXPECT_TRUE(host_.boxes().empty());
}

TEST_F(MidiLinkTest, GarbageThatIsNoSystemExclusiveIsNoReply) {
  ScriptedInstrument xr([](const Bytes&) { return Bytes{0x90, 0x40, 0x7F, 0x12, 0xF7}; });
  fake_midi_set_peer(xr.peer());
  fake_midi_set_ticker(add_midi_time);
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  unsigned char reply[16];
  EXPECT_EQ(-1, exchange(kSetModeSystemMessage, reply));
  EXPECT_EQ(10000, fake_midi_now_ms());
}

TEST_F(MidiLinkTest, AStopDuringAReceiveGivesMinusTwoWithinOnePoll) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  ASSERT_EQ(1, rx_midi_setbuffer());
  std::atomic<int> sleeps{0};
  std::atomic<long long> stopped_at{-1};
  fake_midi_on_wait([&](FakeMidiCall call, unsigned) {
    if (call == FakeMidiCall::kSleep && ++sleeps == 5) {
      stopped_at = fake_midi_now_ms();
      stop_from_other_thread();
    }
  });
  unsigned char reply[16];
  EXPECT_EQ(-2, on_transfer_thread([&] { return rx_data_midi(kWindow, reply, 16); }));
  EXPECT_EQ(5, sleeps.load());  // no further poll after the one the stop came in
  EXPECT_LE(fake_midi_now_ms() - stopped_at, 10);
  EXPECT_EQ(0, midi_rxmidi_status());
  fake_midi_on_wait(nullptr);
}

TEST_F(MidiLinkTest, AReceiveThatBeginsAfterAStopGivesMinusTwoWithoutTicks) {
  ScriptedInstrument xr([](const Bytes&) { return Bytes{}; });
  fake_midi_set_peer(xr.peer());
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  ASSERT_EQ(1, rx_midi_setbuffer());
  ASSERT_EQ(1, tx_data_midi(kWindow, data_packet(0).data(), 9372, 0));
  stop_from_other_thread();  // after the sequence's own check, before the receive
  unsigned char reply[16];
  EXPECT_EQ(-2, on_transfer_thread([&] { return rx_data_midi(kWindow, reply, 16); }));
  EXPECT_TRUE(steps_of(FakeMidiCall::kSleep).empty());
  EXPECT_EQ(0, midi_timecount());
}

TEST_F(MidiLinkTest, TheStopHoldsUntilTheNextOpen) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  midi_force_timeout();
  free_midi();
  midi_force_timeout();  // with the link closed only the stop mark changes
  EXPECT_EQ(2000, midi_timecount());
  ScriptedInstrument xr;
  fake_midi_set_peer(xr.peer());
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  unsigned char reply[16];
  EXPECT_EQ(1, exchange(kVersionRequest, reply));
  EXPECT_EQ(0x01, reply[4]);
}

TEST_F(MidiLinkTest, CallbacksIgnoreOtherDevicesAndMessages) {
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  int other = 0;
  MidiInProc(&other, kMimLongData, 0, 0, 0);
  MidiInProc(nullptr, kMimLongData, 0, 0, 0);
  EXPECT_EQ(0, midi_rxmidi_status());
  MidiOutProc(&other, kMomDone, 0, 0, 0);
  fake_midi_hold_completions(true);
  EXPECT_EQ(0, tx_data_midi(kWindow, kSetModeSystemMessage.data(), 7, 0));  // no stray done notice counted
}

// --- whole exchanges ---

TEST_F(MidiLinkTest, AWholeUpdateExchangeRunsOverTheLinkOnTheTransferThread) {
  ScriptedInstrument xr;
  fake_midi_set_peer(xr.peer());
  fake_midi_set_ticker(add_midi_time);
  ASSERT_EQ(1, set_midi(kWindow, 0, 1));
  const int result = on_transfer_thread([&] {
    unsigned char reply[16];
    if (exchange(kVersionRequest, reply) != 1 || reply[4] != 0x01) return 0;
    if (exchange(kSetModeSystemMessage, reply, 16, 1) != 1 || reply[4] != 0x03) return 0;
    for (int k = 0; k < 4; ++k) {
      if (exchange(data_packet(k), reply, 16, 1) != 1 || reply[5] != 0x00) return 0;
    }
    return 1;
  });
  EXPECT_EQ(1, result);
  const auto messages = xr.messages();
  ASSERT_EQ(6u, messages.size());
  EXPECT_EQ(kVersionRequest, messages[0]);
  EXPECT_EQ(kSetModeSystemMessage, messages[1]);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(data_packet(k), messages[static_cast<size_t>(k) + 2]);
  free_midi();
  expect_closed();
}

TEST_F(MidiLinkTest, AnInstrumentThatAnswersWholeMessagesGetsEachMessageOnce) {
  std::vector<Bytes> seen;  // touched on the fake's thread only until it is idle
  fake_midi_set_peer(fake_midi_message_peer([&](const Bytes& msg) {
    seen.push_back(msg);
    return ScriptedInstrument::standard_answer(msg);
  }));
  ASSERT_EQ(1, set_midi(kWindow, 0, 0));
  unsigned char reply[16];
  EXPECT_EQ(1, exchange(data_packet(5), reply, 16, 3));
  EXPECT_EQ(0x03, reply[4]);
  EXPECT_EQ(1, exchange(kVersionRequest, reply, 16, 3));
  EXPECT_EQ(0x01, reply[4]);
  ASSERT_TRUE(fake_midi_wait_idle());
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(data_packet(5), seen[0]);
  EXPECT_EQ(kVersionRequest, seen[1]);
}

}  // namespace
