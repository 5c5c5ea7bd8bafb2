// The input buffers of a byte-stream MIDI driver, under any mix of buffers
// handed over, bytes arriving in any chunks, stops and resets. Every buffer
// that comes back holds one piece of a system-exclusive message as it
// arrived: F0 only at its start, F7 only at its end, no real-time bytes, never
// more than its length. A message cut short by a status byte or a new F0 comes
// back as incomplete (kMimLongError) and without an F7; one that ends with its
// F7 or fills its buffer comes back as data. Beyond these shapes, every buffer
// is compared byte for byte, and in the order they come back, with a model of
// the queue fed the same operations: no byte is lost, added or moved.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "link/midi_in_queue.h"

namespace {

constexpr int kBuffers = 4;

struct Returned {
  MidiHdr* hdr;
  unsigned msg;
  std::vector<unsigned char> bytes;  // as recorded when it came back
};

std::vector<Returned> back;

void give_back(MidiHdr* hdr, unsigned msg, void*) {
  if ((hdr->dwFlags & kMhdrDone) == 0 || (hdr->dwFlags & kMhdrInqueue) != 0)
    fuzz_fail("a buffer comes back marked done and no longer queued");
  if (msg != kMimLongData && msg != kMimLongError) fuzz_fail("a buffer comes back as long data or long error");
  const auto* data = reinterpret_cast<const unsigned char*>(hdr->lpData);
  const uint32_t n = std::min(hdr->dwBytesRecorded, hdr->dwBufferLength);
  back.push_back({hdr, msg, std::vector<unsigned char>(data, data + n)});
}

// The queue as the rules describe it, written apart from the code under test.
struct Model {
  struct Buffer {
    MidiHdr* hdr;
    size_t capacity;
    std::vector<unsigned char> bytes;
  };
  std::deque<Buffer> queue;
  bool in_message = false;
  std::vector<Returned> returned;

  bool holds(const MidiHdr* hdr) const {
    return std::any_of(queue.begin(), queue.end(), [hdr](const Buffer& b) { return b.hdr == hdr; });
  }
  void give_front(unsigned msg) {
    returned.push_back({queue.front().hdr, msg, queue.front().bytes});
    queue.pop_front();
  }
  void end(unsigned msg) {
    in_message = false;
    if (!queue.empty() && !queue.front().bytes.empty()) give_front(msg);
  }
  // Stores one byte of a message; true when it filled its buffer, which went back.
  bool put(unsigned char b) {
    if (queue.empty()) return false;  // no buffer: the byte is lost
    queue.front().bytes.push_back(b);
    if (queue.front().bytes.size() < queue.front().capacity) return false;
    give_front(kMimLongData);
    return true;
  }
  void feed(unsigned char b) {
    if (b >= 0xF8) return;
    if (b == 0xF0) {
      if (in_message) end(kMimLongError);
      in_message = true;
      put(b);
    } else if (!in_message) {
      return;
    } else if (b == 0xF7) {
      const bool filled = put(b);
      if (filled || queue.empty()) {
        in_message = false;
      } else {
        end(kMimLongData);
      }
    } else if (b >= 0x80) {
      end(kMimLongError);
    } else {
      put(b);
    }
  }
};

// The shape checks on one buffer as it comes back. `by` is the byte that made
// it come back during a feed (-1: a stop or reset).
void check_shape(const Returned& r, int by) {
  const std::vector<unsigned char>& bytes = r.bytes;
  const size_t n = bytes.size();
  if (r.hdr->dwBytesRecorded > r.hdr->dwBufferLength) fuzz_fail("no buffer records more than its length");
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] >= 0xF8) fuzz_fail("no real-time byte is kept");
    if (bytes[i] == 0xF0 && i != 0) fuzz_fail("F0 stands only at a buffer's start");
    if (bytes[i] == 0xF7 && i + 1 != n) fuzz_fail("F7 stands only at a buffer's end");
    if (bytes[i] >= 0x80 && bytes[i] != 0xF0 && bytes[i] != 0xF7) fuzz_fail("no status byte is kept in a message");
  }
  const bool ends_with_f7 = n > 0 && bytes[n - 1] == 0xF7;
  if (r.msg == kMimLongError) {
    if (by < 0x80 || by == 0xF7 || by >= 0xF8 || n == 0 || ends_with_f7)
      fuzz_fail("only a status byte or a new F0 cuts a message short, and what had arrived comes back");
  } else if (by >= 0) {
    if (!ends_with_f7 && n != r.hdr->dwBufferLength)
      fuzz_fail("during a feed a buffer comes back as data only when its message ended or it is full");
  }
}

// The buffers that came back since `from` are those the model gave back, in
// that order, each with the model's bytes.
void compare(const Model& model, size_t from, int by) {
  if (back.size() != model.returned.size()) fuzz_fail("as many buffers come back as the model gives back");
  for (size_t i = from; i < back.size(); ++i) {
    check_shape(back[i], by);
    if (back[i].hdr != model.returned[i].hdr) fuzz_fail("buffers come back in the order they were handed over");
    if (back[i].msg != model.returned[i].msg) fuzz_fail("a buffer comes back as data or as an error as the model says");
    if (back[i].bytes != model.returned[i].bytes) fuzz_fail("a buffer holds exactly the message bytes fed into it");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kBuffers) return 0;
  std::vector<std::unique_ptr<char[]>> memory;
  MidiHdr hdr[kBuffers];
  std::memset(hdr, 0, sizeof hdr);
  for (int i = 0; i < kBuffers; ++i) {
    // Exactly as long as the header says: a write past it is a fault.
    const uint32_t length = 1 + data[i] % 24;
    memory.emplace_back(new char[length]);
    hdr[i].lpData = memory.back().get();
    hdr[i].dwBufferLength = length;
    hdr[i].dwFlags = kMhdrPrepared;
  }
  MidiInQueue q;
  midi_in_queue_clear(q);
  Model model;
  back.clear();
  size_t k = kBuffers;
  while (k < size) {
    const uint8_t op = data[k++];
    const size_t before = back.size();
    switch (op >> 6) {
      case 0: {  // hand a buffer over
        MidiHdr* h = &hdr[op % kBuffers];
        const bool held = model.holds(h);
        if (midi_in_queue_holds(q, h) != held) fuzz_fail("the queue holds the buffers the model holds");
        const unsigned r = midi_in_queue_add(q, h);
        if (held ? r != kMidiErrStillPlaying : (r != 0 || h->dwBytesRecorded != 0))
          fuzz_fail("a buffer is taken, empty, unless it is queued already");
        if (!held) model.queue.push_back({h, h->dwBufferLength, {}});
        compare(model, before, -1);
        break;
      }
      case 1:
      case 2: {  // bytes arrive, one at a time so that each return is seen with its cause
        const size_t n = std::min<size_t>(op & 0x3F, size - k);
        for (size_t i = 0; i < n; ++i, ++k) {
          const size_t at = back.size();
          midi_in_queue_feed(q, data + k, 1, give_back, nullptr);
          model.feed(data[k]);
          compare(model, at, data[k]);
        }
        break;
      }
      default:  // input stops, or is reset
        if (op & 1) {
          midi_in_queue_reset(q, give_back, nullptr);
          model.in_message = false;
          while (!model.queue.empty()) model.give_front(kMimLongData);
          if (q.count != 0) fuzz_fail("a reset hands every buffer back");
        } else {
          midi_in_queue_stop(q, give_back, nullptr);
          model.end(kMimLongData);
        }
        compare(model, before, -1);
        break;
    }
    if (q.count < 0 || q.count > kMidiInQueueSize) fuzz_fail("the queue's count stays within its size");
    if (q.count != static_cast<int>(model.queue.size())) fuzz_fail("the queue holds as many buffers as the model");
  }
  midi_in_queue_reset(q, give_back, nullptr);
  return 0;
}
