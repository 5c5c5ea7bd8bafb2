// Replies over the MIDI link on the ALSA driver, through a stand-in for the
// rawmidi ports: the driver's own input thread reads the input's bytes in the
// chunks the input chooses, and the link receives and judges the reply. The
// link stays open from one input to the next, so its buffers hold the bytes of
// earlier replies. A reply is judged only on the bytes that arrived in this
// receive: it is accepted exactly when the first message, as it arrived (up
// to its F7, or cut short by a status byte or a new F0), is a good status
// reply; the bytes past what arrived are zero, never earlier bytes.
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "engine/device_protocol.h"
#include "fuzz/fuzz_host.h"
#include "link/midi_driver_alsa.h"
#include "link/midi_link.h"

namespace {

// The input port: bytes not yet read, the most one read takes, and whether the
// driver has come back for more since the last of them was read.
std::mutex mutex;
std::condition_variable changed;
std::vector<unsigned char> incoming;
size_t chunk = 1;
bool drained = true;

std::vector<AlsaRawmidiPort> si_list(bool) {
  AlsaRawmidiPort port{};
  std::snprintf(port.name, sizeof port.name, "hw:9,0,0");
  std::snprintf(port.display, sizeof port.display, "Fuzz MIDI");
  return {port};
}
int si_open(void** raw, const char*, bool output) {
  *raw = output ? &chunk : static_cast<void*>(&incoming);
  return 0;
}
int si_close(void*) { return 0; }
ssize_t si_write(void*, const unsigned char*, size_t length) { return static_cast<ssize_t>(length); }
ssize_t si_read(void*, unsigned char* bytes, size_t length) {
  std::lock_guard<std::mutex> lock(mutex);
  if (incoming.empty()) {
    drained = true;  // everything read before this has been handled
    changed.notify_all();
    return -EAGAIN;
  }
  const size_t n = std::min({length, chunk, incoming.size()});
  std::memcpy(bytes, incoming.data(), n);
  incoming.erase(incoming.begin(), incoming.begin() + static_cast<long>(n));
  return static_cast<ssize_t>(n);
}
long si_unsent(void*) { return 0; }
int si_drop(void*) { return 0; }
void si_wait_input(void*, int ms) {
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait_for(lock, std::chrono::milliseconds(ms), [] { return !incoming.empty() || !drained; });
}

const AlsaRawmidi kStandIn = {si_list, si_open, si_close, si_write, si_read, si_unsent, si_drop, si_wait_input};

// Buffer 0's bytes as the driver records them: from the first F0 to its F7, to
// a status byte or new F0 that cuts it short, or to the buffer's end.
// complete: whether buffer 0 comes back at all from these bytes.
std::vector<unsigned char> first_message(const uint8_t* in, size_t n, bool* complete) {
  std::vector<unsigned char> msg;
  *complete = false;
  size_t k = 0;
  while (k < n && in[k] != 0xF0) ++k;
  for (; k < n; ++k) {
    const unsigned char b = in[k];
    if (b >= 0xF8) continue;
    if (!msg.empty() && b >= 0x80 && b != 0xF7) {
      *complete = true;  // cut short
      return msg;
    }
    msg.push_back(b);
    if (b == 0xF7 || msg.size() == static_cast<size_t>(kMidiExcInSize)) {
      *complete = true;
      return msg;
    }
  }
  return msg;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool opened = [] {
    fuzz_host_install();
    alsa_rawmidi_install(&kStandIn);
    midi_driver_install(nullptr);
    g_devmode = 1;
    return set_midi(nullptr, 0, 0) == 1;
  }();
  if (!opened) fuzz_fail("the stand-in devices open");
  if (size < 1) return 0;
  if (rx_midi_setbuffer() != 1) fuzz_fail("the input buffers are armed");
  {
    std::unique_lock<std::mutex> lock(mutex);
    chunk = 1 + data[0] % 32;
    incoming.assign(data + 1, data + size);
    drained = false;
    changed.notify_all();
    // The driver's thread has read and handled every byte.
    if (!changed.wait_for(lock, std::chrono::seconds(10), [] { return drained; }))
      fuzz_fail("the driver's thread reads every byte within 10 s");
  }
  bool complete = false;
  const std::vector<unsigned char> msg = first_message(data + 1, size - 1, &complete);
  if ((midi_rxmidi_status() > 0) != complete) fuzz_fail("a buffer comes back exactly when a message ended or filled it");
  if (!complete) return 0;  // no buffer back: the receive would wait for its time-out

  unsigned char reply[kReplySize];
  std::memset(reply, 0xEE, sizeof reply);
  int received = -1;
  if (rx_data(nullptr, reply, kReplySize, &received) != 1) fuzz_fail("the receive takes what came back");
  const size_t arrived = std::min(msg.size(), static_cast<size_t>(kReplySize));
  if (received != static_cast<int>(arrived)) fuzz_fail("the count received is that of the bytes that arrived");
  for (size_t i = 0; i < static_cast<size_t>(kReplySize); ++i) {
    if (reply[i] != (i < arrived ? msg[i] : 0)) fuzz_fail("the reply holds the bytes that arrived, zero after them");
  }
  static const unsigned char kGood[6] = {0xF0, 0x42, 0x23, 0x58, 0x03, 0x00};
  const bool good = msg.size() >= 6 && std::memcmp(msg.data(), kGood, 6) == 0;
  if (check_rx_data(reply, kMsgStatusReply, received) != (good ? 1 : 0))
    fuzz_fail("a status reply passes exactly when its six bytes arrived and are right");
  return 0;
}
