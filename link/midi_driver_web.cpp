// Web MIDI as the MIDI driver (requestMIDIAccess({sysex: true}), in
// link/midi_driver_web.js). Device ids are positions in the browser's lists of
// outputs and inputs, which keep a device (unplugged, it shows as disconnected)
// for as long as the page is open; every output counts as a hardware port.
//
// Output: Web MIDI takes whole messages only; a system-exclusive message cut
// into chunks is refused. So the chunks of one message are gathered as the
// link sends them (each is done, and its header back, once it is gathered) and
// the message goes to the browser whole with its last chunk, the one that ends
// in F7. The link's pause after every chunk is kept, so a packet leaves after
// the same time as on the other platforms; how fast its bytes then go over the
// cable is the browser's and the interface's business.
// Input: each input event's bytes fill the handed-over buffers
// (link/midi_in_queue.h), each buffer reported as it goes back.
// There are no threads: callbacks are made on the page's one thread, a done
// notice inside the send that caused it, and waits and sleeps yield to the
// page until their event or their time has come.
#include "link/midi_driver_web.h"

#include <emscripten/emscripten.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "link/midi_driver.h"
#include "link/midi_in_queue.h"

extern "C" {
// link/midi_driver_web.js
int xr_midi_count(int output);
int xr_midi_name(int output, int id, char* out, int size);
int xr_midi_open(int output, int id);
int xr_midi_connected(int output, int id);
void xr_midi_close(int output, int id);
int xr_midi_send(int id, const unsigned char* data, int length);
void xr_midi_listen(int id, int tag);
void xr_midi_wait(int ms);
void xr_midi_wake();
}

namespace {

constexpr int kOut = 1;
constexpr int kIn = 0;
constexpr size_t kLongestMessage = 0x3000;  // the link's output buffer

struct WebOut {
  int id;
  MidiCallback callback;
  uintptr_t instance;
  std::vector<unsigned char> gathered;  // the message under way, from its F0
  bool gathering;
};

struct WebIn {
  int id;
  int tag;
  MidiCallback callback;
  uintptr_t instance;
  MidiInQueue queue;
  bool started;
};

// Input devices by tag, for the page's events; a tag is never used twice.
constexpr int kTags = 16;
WebIn* g_inputs[kTags];
int g_next_tag = 1;

unsigned char g_input_bytes[4096];

unsigned count(int direction) {
  const int n = xr_midi_count(direction);
  return n > 0 ? static_cast<unsigned>(n) : 0;
}

unsigned out_num_devs() { return count(kOut); }
unsigned in_num_devs() { return count(kIn); }

unsigned out_get_caps(unsigned id, MidiOutCaps* caps) {
  char name[kMidiNameSize];
  if (id >= count(kOut) || xr_midi_name(kOut, static_cast<int>(id), name, sizeof name) != 0)
    return kMmBadDeviceId;
  std::memcpy(caps->szPname, name, sizeof name);
  caps->wTechnology = kModMidiPort;
  caps->vDriverVersion = 0;
  return 0;
}

unsigned in_get_caps(unsigned id, MidiInCaps* caps) {
  char name[kMidiNameSize];
  if (id >= count(kIn) || xr_midi_name(kIn, static_cast<int>(id), name, sizeof name) != 0)
    return kMmBadDeviceId;
  std::memcpy(caps->szPname, name, sizeof name);
  caps->vDriverVersion = 0;
  return 0;
}

unsigned out_open(MidiHandle* handle, unsigned id, MidiCallback callback, uintptr_t instance) {
  if (id >= count(kOut)) return kMmBadDeviceId;
  const int code = xr_midi_open(kOut, static_cast<int>(id));
  if (code != 0) return static_cast<unsigned>(code);
  auto* dev = new (std::nothrow) WebOut{static_cast<int>(id), callback, instance, {}, false};
  if (dev == nullptr) {
    xr_midi_close(kOut, static_cast<int>(id));
    return kMmNoMem;
  }
  dev->gathered.reserve(kLongestMessage);  // a send allocates nothing
  if (callback) callback(dev, kMomOpen, instance, 0, 0);
  *handle = dev;
  return 0;
}

unsigned in_open(MidiHandle* handle, unsigned id, MidiCallback callback, uintptr_t instance) {
  if (id >= count(kIn)) return kMmBadDeviceId;
  int tag = 0;
  for (int tries = 0; tries < kTags && tag == 0; ++tries) {
    const int candidate = g_next_tag;
    g_next_tag = g_next_tag % (kTags - 1) + 1;
    if (g_inputs[candidate] == nullptr) tag = candidate;
  }
  if (tag == 0) return kMmNoMem;
  const int code = xr_midi_open(kIn, static_cast<int>(id));
  if (code != 0) return static_cast<unsigned>(code);
  auto* dev = new (std::nothrow) WebIn{static_cast<int>(id), tag, callback, instance, {}, false};
  if (dev == nullptr) {
    xr_midi_close(kIn, static_cast<int>(id));
    return kMmNoMem;
  }
  midi_in_queue_clear(dev->queue);
  g_inputs[tag] = dev;
  xr_midi_listen(static_cast<int>(id), tag);
  if (callback) callback(dev, kMimOpen, instance, 0, 0);
  *handle = dev;
  return 0;
}

WebOut* out_of(MidiHandle h) { return static_cast<WebOut*>(h); }
WebIn* in_of(MidiHandle h) { return static_cast<WebIn*>(h); }

void give_back_out(WebOut* dev, MidiHdr* hdr) {
  hdr->dwFlags = (hdr->dwFlags & ~kMhdrInqueue) | kMhdrDone;
  if (dev->callback) dev->callback(dev, kMomDone, dev->instance, reinterpret_cast<uintptr_t>(hdr), 0);
}

void give_back_in(MidiHdr* hdr, unsigned msg, void* context) {
  auto* dev = static_cast<WebIn*>(context);
  if (dev->callback) dev->callback(dev, msg, dev->instance, reinterpret_cast<uintptr_t>(hdr), 0);
  // A receive that polls for its buffer looks again now, not at its next poll.
  xr_midi_wake();
}

unsigned prepare(MidiHdr* hdr) {
  if (hdr == nullptr || hdr->lpData == nullptr) return kMmInvalParam;
  hdr->dwFlags |= kMhdrPrepared;
  return 0;
}

unsigned out_prepare(MidiHandle h, MidiHdr* hdr) { return h ? prepare(hdr) : kMmInvalHandle; }
unsigned in_prepare(MidiHandle h, MidiHdr* hdr) { return h ? prepare(hdr) : kMmInvalHandle; }

// A chunk is handed back inside the send that took it: the driver never holds one.
unsigned out_unprepare(MidiHandle h, MidiHdr* hdr) {
  if (out_of(h) == nullptr) return kMmInvalHandle;
  hdr->dwFlags &= ~kMhdrPrepared;
  return 0;
}

unsigned in_unprepare(MidiHandle h, MidiHdr* hdr) {
  WebIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  if (midi_in_queue_holds(dev->queue, hdr)) return kMidiErrStillPlaying;
  hdr->dwFlags &= ~kMhdrPrepared;
  return 0;
}

// Gathers one chunk; the chunk that ends the message sends it whole.
unsigned out_long_msg(MidiHandle h, MidiHdr* hdr) {
  WebOut* dev = out_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  if (hdr == nullptr || (hdr->dwFlags & kMhdrPrepared) == 0) return kMidiErrUnprepared;
  // A device that went away fails the chunk at once, not only the message's last.
  if (!xr_midi_connected(kOut, dev->id)) return kMmNoDriver;
  const auto* data = reinterpret_cast<const unsigned char*>(hdr->lpData);
  const size_t length = hdr->dwBufferLength;
  if (length > 0 && data[0] == 0xF0) {
    dev->gathered.clear();
    dev->gathering = true;
  }
  if (dev->gathering) {
    if (dev->gathered.size() + length > kLongestMessage) {
      dev->gathering = false;
      dev->gathered.clear();
      return kMmInvalParam;
    }
    dev->gathered.insert(dev->gathered.end(), data, data + length);
  }
  unsigned code = 0;
  if (dev->gathering && length > 0 && data[length - 1] == 0xF7) {
    dev->gathering = false;
    code = static_cast<unsigned>(
        xr_midi_send(dev->id, dev->gathered.data(), static_cast<int>(dev->gathered.size())));
    dev->gathered.clear();
  } else if (!dev->gathering && length > 0) {
    // Bytes outside a system-exclusive message go as they are.
    code = static_cast<unsigned>(xr_midi_send(dev->id, data, static_cast<int>(length)));
  }
  if (code != 0) return code;
  hdr->dwFlags = (hdr->dwFlags & ~kMhdrDone) | kMhdrInqueue;
  give_back_out(dev, hdr);
  return 0;
}

// A message gathered in part is dropped: nothing of it has left.
unsigned out_reset(MidiHandle h) {
  WebOut* dev = out_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  dev->gathering = false;
  dev->gathered.clear();
  return 0;
}

unsigned out_close(MidiHandle h) {
  WebOut* dev = out_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  if (dev->callback) dev->callback(dev, kMomClose, dev->instance, 0, 0);
  xr_midi_close(kOut, dev->id);
  delete dev;
  return 0;
}

unsigned in_add_buffer(MidiHandle h, MidiHdr* hdr) {
  WebIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  if (!xr_midi_connected(kIn, dev->id)) return kMmNoDriver;
  return midi_in_queue_add(dev->queue, hdr);
}

unsigned in_start(MidiHandle h) {
  WebIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  dev->started = true;
  return 0;
}

unsigned in_stop(MidiHandle h) {
  WebIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  dev->started = false;
  midi_in_queue_stop(dev->queue, give_back_in, dev);
  return 0;
}

unsigned in_reset(MidiHandle h) {
  WebIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  dev->started = false;
  midi_in_queue_reset(dev->queue, give_back_in, dev);
  return 0;
}

unsigned in_close(MidiHandle h) {
  WebIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  if (dev->queue.count > 0) return kMidiErrStillPlaying;
  if (dev->callback) dev->callback(dev, kMimClose, dev->instance, 0, 0);
  g_inputs[dev->tag] = nullptr;
  xr_midi_close(kIn, dev->id);
  delete dev;
  return 0;
}

unsigned error_text(unsigned code, char* text, unsigned size) {
  return midi_error_text(code, "The browser could not open the MIDI device.", text, size);
}

// Events: flags on the page's one thread. A wait yields until one is set (the
// setter wakes it) or its time is up.
struct WebEvent {
  bool signalled;
};

MidiEvent event_create() { return new (std::nothrow) WebEvent{false}; }
void event_set(MidiEvent event) {
  if (event == nullptr) return;
  static_cast<WebEvent*>(event)->signalled = true;
  xr_midi_wake();
}
void event_reset(MidiEvent event) {
  if (event != nullptr) static_cast<WebEvent*>(event)->signalled = false;
}
void event_close(MidiEvent event) { delete static_cast<WebEvent*>(event); }

constexpr unsigned kInfinite = 0xFFFFFFFFu;

unsigned wait_any(unsigned n, const MidiEvent* events, unsigned timeout_ms) {
  if (n == 0) return kWaitFailed;
  for (unsigned i = 0; i < n; ++i) {
    if (events[i] == nullptr) return kWaitFailed;
  }
  const double deadline = emscripten_get_now() + static_cast<double>(timeout_ms);
  for (;;) {
    for (unsigned i = 0; i < n; ++i) {
      if (static_cast<const WebEvent*>(events[i])->signalled) return kWaitObject0 + i;
    }
    const double left = deadline - emscripten_get_now();
    if (timeout_ms != kInfinite && left <= 0) return kWaitTimeout;
    xr_midi_wait(timeout_ms == kInfinite ? -1 : static_cast<int>(left + 0.999));
  }
}

unsigned wait_one(MidiEvent event, unsigned timeout_ms) { return wait_any(1, &event, timeout_ms); }

// A pause that a buffer coming back ends early (the polls of a receive); a
// woken pause whose time is not up returns all the same, since every caller
// looks at what it waits for and sleeps again.
void sleep_ms(unsigned ms) { xr_midi_wait(static_cast<int>(ms)); }
long last_error() { return 0; }

constexpr MidiDriver kWebMidi = {
    out_num_devs, in_num_devs,  out_get_caps, in_get_caps,   out_open,     in_open,
    out_close,    in_close,     out_prepare,  out_unprepare, in_prepare,   in_unprepare,
    out_long_msg, out_reset,    in_add_buffer, in_start,     in_stop,      in_reset,
    error_text,   error_text,   midi_heap_alloc, midi_heap_lock, midi_heap_unlock, midi_heap_free,
    event_create, event_set,    event_reset,  event_close,   wait_any,     wait_one,
    sleep_ms,     last_error,
};

}  // namespace

const MidiDriver& platform_midi_driver() { return kWebMidi; }

extern "C" EMSCRIPTEN_KEEPALIVE unsigned char* xr_midi_input_buffer() { return g_input_bytes; }
extern "C" EMSCRIPTEN_KEEPALIVE int xr_midi_input_room() { return static_cast<int>(sizeof g_input_bytes); }

extern "C" EMSCRIPTEN_KEEPALIVE void xr_midi_input(int tag, int length) {
  if (tag <= 0 || tag >= kTags || length <= 0) return;
  WebIn* dev = g_inputs[tag];
  if (dev == nullptr || !dev->started) return;
  const size_t n = static_cast<size_t>(length) < sizeof g_input_bytes ? static_cast<size_t>(length)
                                                                        : sizeof g_input_bytes;
  midi_in_queue_feed(dev->queue, g_input_bytes, n, give_back_in, dev);
}
