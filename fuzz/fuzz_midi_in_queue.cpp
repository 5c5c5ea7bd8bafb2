// The input buffers of a byte-stream MIDI driver, under any mix of buffers
// handed over, bytes arriving in any chunks, stops and resets. Every buffer
// that comes back holds one piece of a system-exclusive message as it
// arrived: F0 only at its start, F7 only at its end, no real-time bytes, never
// more than its length. A message cut short by a status byte or a new F0 comes
// back as incomplete (kMimLongError) and without an F7; one that ends with its
// F7 or fills its buffer comes back as data.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "link/midi_in_queue.h"

namespace {

constexpr int kBuffers = 4;

struct Returned {
  MidiHdr* hdr;
  unsigned msg;
};

std::vector<Returned> back;

void give_back(MidiHdr* hdr, unsigned msg, void*) {
  if ((hdr->dwFlags & kMhdrDone) == 0 || (hdr->dwFlags & kMhdrInqueue) != 0) std::abort();
  if (msg != kMimLongData && msg != kMimLongError) std::abort();
  back.push_back({hdr, msg});
}

// The checks on one buffer as it comes back. `by` is the byte that made it come
// back during a feed (-1: a stop or reset).
void check(const Returned& r, int by) {
  const MidiHdr* h = r.hdr;
  const auto* bytes = reinterpret_cast<const unsigned char*>(h->lpData);
  const uint32_t n = h->dwBytesRecorded;
  if (n > h->dwBufferLength) std::abort();
  for (uint32_t i = 0; i < n; ++i) {
    if (bytes[i] >= 0xF8) std::abort();
    if (bytes[i] == 0xF0 && i != 0) std::abort();
    if (bytes[i] == 0xF7 && i + 1 != n) std::abort();
    if (bytes[i] >= 0x80 && bytes[i] != 0xF0 && bytes[i] != 0xF7) std::abort();
  }
  const bool ends_with_f7 = n > 0 && bytes[n - 1] == 0xF7;
  if (r.msg == kMimLongError) {
    // Cut short by a status byte or a new F0, with what had arrived.
    if (by < 0x80 || by == 0xF7 || by >= 0xF8 || n == 0 || ends_with_f7) std::abort();
  } else if (by >= 0) {
    // Back during a feed as data: the message ended or the buffer is full.
    if (!ends_with_f7 && n != h->dwBufferLength) std::abort();
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
  back.clear();
  size_t k = kBuffers;
  while (k < size) {
    const uint8_t op = data[k++];
    size_t before = back.size();
    switch (op >> 6) {
      case 0: {  // hand a buffer over
        MidiHdr* h = &hdr[op % kBuffers];
        const bool held = midi_in_queue_holds(q, h);
        const unsigned r = midi_in_queue_add(q, h);
        if (held ? r != kMidiErrStillPlaying : (r != 0 || h->dwBytesRecorded != 0)) std::abort();
        break;
      }
      case 1:
      case 2: {  // bytes arrive, one at a time so that each return is seen with its cause
        const size_t n = std::min<size_t>(op & 0x3F, size - k);
        for (size_t i = 0; i < n; ++i, ++k) {
          midi_in_queue_feed(q, data + k, 1, give_back, nullptr);
          for (; before < back.size(); ++before) check(back[before], data[k]);
        }
        break;
      }
      default:  // input stops, or is reset
        if (op & 1) {
          midi_in_queue_reset(q, give_back, nullptr);
          if (q.count != 0) std::abort();
        } else {
          midi_in_queue_stop(q, give_back, nullptr);
        }
        for (; before < back.size(); ++before) check(back[before], -1);
        break;
    }
    if (q.count < 0 || q.count > kMidiInQueueSize) std::abort();
  }
  midi_in_queue_reset(q, give_back, nullptr);
  return 0;
}
