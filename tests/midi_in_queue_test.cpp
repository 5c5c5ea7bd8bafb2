// Filling of input buffers from a byte stream (the ALSA driver's and the fake's
// input side), and the portable events.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/midi_event.h"
#include "link/midi_in_queue.h"

namespace {

struct Buffers {
  char data[3][8];
  MidiHdr hdr[3];
  MidiInQueue queue;
  std::vector<MidiHdr*> back;

  explicit Buffers(uint32_t size = 8) {
    std::memset(data, 0x55, sizeof data);
    std::memset(hdr, 0, sizeof hdr);
    midi_in_queue_clear(queue);
    for (int i = 0; i < 3; ++i) {
      hdr[i].lpData = data[i];
      hdr[i].dwBufferLength = size;
      hdr[i].dwFlags = kMhdrPrepared;
    }
  }
  std::vector<unsigned> msgs;
  static void give_back(MidiHdr* h, unsigned msg, void* context) {
    static_cast<Buffers*>(context)->back.push_back(h);
    static_cast<Buffers*>(context)->msgs.push_back(msg);
  }
  void add(int i) { ASSERT_EQ(0u, midi_in_queue_add(queue, &hdr[i])); }
  void feed(std::vector<unsigned char> bytes) {
    midi_in_queue_feed(queue, bytes.data(), bytes.size(), give_back, this);
  }
  std::string recorded(int i) const {
    return std::string(data[i], hdr[i].dwBytesRecorded);
  }
};

std::string bytes(std::vector<unsigned char> v) { return std::string(v.begin(), v.end()); }

TEST(MidiInQueueTest, SysexFillsTheFirstBufferFromItsFirstByte) {
  Buffers b;
  b.add(0);
  b.add(1);
  b.feed({0x90, 0x40, 0x7F, 0xF0, 0x42, 0x23, 0xF7});
  ASSERT_EQ(1u, b.back.size());
  EXPECT_EQ(&b.hdr[0], b.back[0]);
  EXPECT_EQ(bytes({0xF0, 0x42, 0x23, 0xF7}), b.recorded(0));
  EXPECT_TRUE(b.hdr[0].dwFlags & kMhdrDone);
  EXPECT_FALSE(b.hdr[0].dwFlags & kMhdrInqueue);
  EXPECT_EQ(1, b.queue.count);
}

TEST(MidiInQueueTest, BytesOutsideASysexAreNotKept) {
  Buffers b;
  b.add(0);
  b.feed({0x01, 0x02, 0xF7, 0x80, 0x10});
  EXPECT_TRUE(b.back.empty());
  EXPECT_EQ(0u, b.hdr[0].dwBytesRecorded);
}

TEST(MidiInQueueTest, ALongMessageGoesOnIntoTheNextBuffer) {
  Buffers b;
  b.add(0);
  b.add(1);
  b.feed({0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xF7});
  ASSERT_EQ(2u, b.back.size());
  EXPECT_EQ(bytes({0xF0, 1, 2, 3, 4, 5, 6, 7}), b.recorded(0));
  EXPECT_EQ(bytes({8, 9, 0xF7}), b.recorded(1));
}

TEST(MidiInQueueTest, AnEndByteThatFillsABufferReturnsItOnce) {
  Buffers b;
  b.add(0);
  b.add(1);
  b.feed({0xF0, 1, 2, 3, 4, 5, 6, 0xF7, 0xF0, 9});
  ASSERT_EQ(1u, b.back.size());
  EXPECT_EQ(8u, b.hdr[0].dwBytesRecorded);
  EXPECT_EQ(2u, b.hdr[1].dwBytesRecorded);  // the next message starts in buffer 1
}

TEST(MidiInQueueTest, AMessageLongerThanAllBuffersLosesTheRest) {
  Buffers b;
  b.add(0);
  b.add(1);
  std::vector<unsigned char> msg{0xF0};
  for (int i = 0; i < 30; ++i) msg.push_back(static_cast<unsigned char>(i));
  msg.push_back(0xF7);
  b.feed(msg);
  ASSERT_EQ(2u, b.back.size());
  EXPECT_EQ(0, b.queue.count);
  EXPECT_EQ(8u, b.hdr[1].dwBytesRecorded);
}

TEST(MidiInQueueTest, RealTimeBytesInsideASysexAreSkipped) {
  Buffers b;
  b.add(0);
  b.feed({0xF0, 0x42, 0xF8, 0xFE, 0x23, 0xF7});
  EXPECT_EQ(bytes({0xF0, 0x42, 0x23, 0xF7}), b.recorded(0));
}

TEST(MidiInQueueTest, AStatusByteCutsAMessageShort) {
  Buffers b;
  b.add(0);
  b.add(1);
  b.add(2);
  b.feed({0xF0, 0x42, 0x90, 0x40});
  ASSERT_EQ(1u, b.back.size());
  EXPECT_EQ(bytes({0xF0, 0x42}), b.recorded(0));
  b.feed({0xF0, 0x01, 0xF0, 0x02, 0xF7});  // an unterminated message ends at the next F0
  ASSERT_EQ(3u, b.back.size());
  EXPECT_EQ(bytes({0xF0, 0x01}), b.recorded(1));
  EXPECT_EQ(bytes({0xF0, 0x02, 0xF7}), b.recorded(2));
  // A cut message comes back as incomplete, the whole one as data.
  EXPECT_EQ((std::vector<unsigned>{kMimLongError, kMimLongError, kMimLongData}), b.msgs);
}

TEST(MidiInQueueTest, StopReturnsAPartlyFilledBufferAndKeepsEmptyOnes) {
  Buffers b;
  b.add(0);
  b.add(1);
  midi_in_queue_stop(b.queue, Buffers::give_back, &b);
  EXPECT_TRUE(b.back.empty());
  b.feed({0xF0, 0x42});
  midi_in_queue_stop(b.queue, Buffers::give_back, &b);
  ASSERT_EQ(1u, b.back.size());
  EXPECT_EQ(1, b.queue.count);
}

TEST(MidiInQueueTest, ResetReturnsEveryBufferInOrder) {
  Buffers b;
  b.add(0);
  b.add(1);
  b.add(2);
  midi_in_queue_reset(b.queue, Buffers::give_back, &b);
  ASSERT_EQ(3u, b.back.size());
  EXPECT_EQ(&b.hdr[0], b.back[0]);
  EXPECT_EQ(&b.hdr[2], b.back[2]);
  EXPECT_EQ(0, b.queue.count);
  for (auto& h : b.hdr) EXPECT_TRUE(h.dwFlags & kMhdrDone);
}

TEST(MidiInQueueTest, AddRefusesUnpreparedDuplicateAndEmptyBuffers) {
  Buffers b;
  b.hdr[0].dwFlags = 0;
  EXPECT_EQ(unsigned{kMidiErrUnprepared}, midi_in_queue_add(b.queue, &b.hdr[0]));
  b.add(1);
  EXPECT_EQ(unsigned{kMidiErrStillPlaying}, midi_in_queue_add(b.queue, &b.hdr[1]));
  EXPECT_EQ(unsigned{kMmInvalParam}, midi_in_queue_add(b.queue, nullptr));
  EXPECT_TRUE(midi_in_queue_holds(b.queue, &b.hdr[1]));
  EXPECT_FALSE(midi_in_queue_holds(b.queue, &b.hdr[0]));
}

TEST(MidiInQueueTest, RecordingStartsAtTheBufferStartWhateverWasThere) {
  Buffers b;
  b.hdr[0].dwBytesRecorded = 5;
  b.add(0);
  b.feed({0xF0, 0xF7});
  EXPECT_EQ(bytes({0xF0, 0xF7}), b.recorded(0));
  EXPECT_EQ(0x55, static_cast<unsigned char>(b.data[0][2]));  // the rest stays as it was
}

TEST(MidiEventThreadTest, WaitReportsTheFirstSignalledEventInTheList) {
  MidiEvent a = midi_event_create(), b = midi_event_create();
  const MidiEvent both[2] = {a, b};
  EXPECT_EQ(kWaitTimeout, midi_event_wait_any(2, both, 0));
  midi_event_set(b);
  EXPECT_EQ(kWaitObject0 + 1, midi_event_wait_any(2, both, 0));
  midi_event_set(a);
  EXPECT_EQ(kWaitObject0, midi_event_wait_any(2, both, 0));
  midi_event_reset(a);
  midi_event_reset(b);
  EXPECT_EQ(kWaitTimeout, midi_event_wait_one(a, 1));
  const MidiEvent with_null[2] = {a, nullptr};
  EXPECT_EQ(kWaitFailed, midi_event_wait_any(2, with_null, 0));
  midi_event_close(a);
  midi_event_close(b);
}

TEST(MidiEventThreadTest, ASetFromAnotherThreadEndsTheWait) {
  MidiEvent e = midi_event_create();
  std::thread setter([e] { midi_event_set(e); });
  EXPECT_EQ(kWaitObject0, midi_event_wait_one(e, 10000));
  setter.join();
  EXPECT_EQ(kWaitObject0, midi_event_wait_one(e, 0));  // manual reset: stays signalled
  midi_event_close(e);
}

}  // namespace
