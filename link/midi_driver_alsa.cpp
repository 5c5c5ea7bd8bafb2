// ALSA rawmidi devices as the MIDI driver. Every rawmidi subdevice is one
// device id; every one counts as a hardware MIDI port.
//
// Output: each queued header's bytes are copied, written and drained by a
// thread of the device, which then reports the completion as the done notice.
// Input: a thread of the device reads what comes in and fills the handed-over
// buffers (link/midi_in_queue.h), reporting each buffer it hands back.
// Callbacks run with the device's lock held, so a reset has given all its
// notices before it returns, and none comes after a close.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "link/midi_driver.h"
#include "link/midi_event.h"
#include "link/midi_in_queue.h"

#if defined(XR_HAVE_ALSA)
#include <alsa/asoundlib.h>
#include <poll.h>
#endif

namespace {

struct RawmidiDevice {
  int card, device, subdevice;
  char name[kMidiNameSize];
};

// Lists the subdevices of one direction, in card, device, subdevice order.
std::vector<RawmidiDevice> list_rawmidi(bool output) {
  std::vector<RawmidiDevice> found;
#if defined(XR_HAVE_ALSA)
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    char ctl_name[32];
    std::snprintf(ctl_name, sizeof ctl_name, "hw:%d", card);
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, ctl_name, 0) < 0) continue;
    int device = -1;
    while (snd_ctl_rawmidi_next_device(ctl, &device) == 0 && device >= 0) {
      snd_rawmidi_info_t* info;
      snd_rawmidi_info_alloca(&info);
      snd_rawmidi_info_set_device(info, static_cast<unsigned>(device));
      snd_rawmidi_info_set_stream(info, output ? SND_RAWMIDI_STREAM_OUTPUT : SND_RAWMIDI_STREAM_INPUT);
      snd_rawmidi_info_set_subdevice(info, 0);
      if (snd_ctl_rawmidi_info(ctl, info) < 0) continue;
      const unsigned count = snd_rawmidi_info_get_subdevices_count(info);
      for (unsigned sub = 0; sub < count; ++sub) {
        snd_rawmidi_info_set_subdevice(info, sub);
        if (snd_ctl_rawmidi_info(ctl, info) < 0) continue;
        RawmidiDevice d{card, device, static_cast<int>(sub), {}};
        const char* name = snd_rawmidi_info_get_subdevice_name(info);
        if (name == nullptr || name[0] == '\0') name = snd_rawmidi_info_get_name(info);
        std::snprintf(d.name, sizeof d.name, "%s", name ? name : "");
        found.push_back(d);
      }
    }
    snd_ctl_close(ctl);
  }
#else
  (void)output;
#endif
  return found;
}

unsigned out_num_devs() { return static_cast<unsigned>(list_rawmidi(true).size()); }
unsigned in_num_devs() { return static_cast<unsigned>(list_rawmidi(false).size()); }

unsigned out_get_caps(unsigned id, MidiOutCaps* caps) {
  const auto devices = list_rawmidi(true);
  if (id >= devices.size()) return kMmBadDeviceId;
  std::memcpy(caps->szPname, devices[id].name, kMidiNameSize);
  caps->wTechnology = kModMidiPort;
  caps->vDriverVersion = 0;
  return 0;
}

unsigned in_get_caps(unsigned id, MidiInCaps* caps) {
  const auto devices = list_rawmidi(false);
  if (id >= devices.size()) return kMmBadDeviceId;
  std::memcpy(caps->szPname, devices[id].name, kMidiNameSize);
  caps->vDriverVersion = 0;
  return 0;
}

#if defined(XR_HAVE_ALSA)

constexpr int kPollMs = 20;  // how soon the device threads notice a reset or close

unsigned code_of(int err) {
  switch (-err) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return kMmBadDeviceId;
    case EBUSY: return kMmAllocated;
    case ENOMEM: return kMmNoMem;
    default: return kMmError;
  }
}

struct OutJob {
  MidiHdr* hdr;
  std::vector<unsigned char> bytes;
  unsigned long generation;
};

struct AlsaOut {
  snd_rawmidi_t* raw = nullptr;
  MidiCallback callback = nullptr;
  uintptr_t instance = 0;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<OutJob> jobs;          // queued, not yet taken by the thread
  std::vector<MidiHdr*> held;       // every header not yet handed back
  unsigned long generation = 0;     // a reset abandons what is under way
  bool closing = false;
  bool failed = false;              // a write failed: the device is gone
  std::thread thread;
};

struct AlsaIn {
  snd_rawmidi_t* raw = nullptr;
  MidiCallback callback = nullptr;
  uintptr_t instance = 0;
  std::mutex mutex;
  MidiInQueue queue{};
  bool started = false;
  bool closing = false;
  bool failed = false;
  std::thread thread;
};

void notify(AlsaOut* dev, unsigned msg, MidiHdr* hdr) {
  if (dev->callback) dev->callback(dev, msg, dev->instance, reinterpret_cast<uintptr_t>(hdr), 0);
}

void give_back_out(AlsaOut* dev, MidiHdr* hdr) {
  hdr->dwFlags = (hdr->dwFlags & ~kMhdrInqueue) | kMhdrDone;
  notify(dev, kMomDone, hdr);
}

void give_back_in(MidiHdr* hdr, void* context) {
  auto* dev = static_cast<AlsaIn*>(context);
  if (dev->callback) {
    dev->callback(dev, kMimLongData, dev->instance, reinterpret_cast<uintptr_t>(hdr), 0);
  }
}

// Waits until the device can take bytes, or kPollMs passes.
void wait_ready(snd_rawmidi_t* raw) {
  pollfd fds[4];
  const int n = snd_rawmidi_poll_descriptors(raw, fds, 4);
  if (n > 0) poll(fds, static_cast<nfds_t>(n), kPollMs);
}

void out_thread(AlsaOut* dev) {
  std::unique_lock<std::mutex> lock(dev->mutex);
  for (;;) {
    dev->changed.wait(lock, [dev] { return dev->closing || !dev->jobs.empty(); });
    if (dev->closing) return;
    OutJob job = std::move(dev->jobs.front());
    dev->jobs.pop_front();
    lock.unlock();
    size_t done = 0;
    bool ok = true, abandoned = false;
    while (done < job.bytes.size()) {
      {
        std::lock_guard<std::mutex> check(dev->mutex);
        if (dev->closing || dev->generation != job.generation) {
          abandoned = true;
          break;
        }
      }
      const ssize_t w = snd_rawmidi_write(dev->raw, job.bytes.data() + done, job.bytes.size() - done);
      if (w > 0) {
        done += static_cast<size_t>(w);
      } else if (w == -EAGAIN || w == 0) {
        wait_ready(dev->raw);
      } else {
        ok = false;
        break;
      }
    }
    if (abandoned) {
      snd_rawmidi_drop(dev->raw);
    } else if (ok && snd_rawmidi_drain(dev->raw) < 0) {
      ok = false;
    }
    lock.lock();
    if (!ok) {
      dev->failed = true;  // the header stays held until a reset or close hands it back
      continue;
    }
    if (abandoned || dev->generation != job.generation) continue;
    for (auto it = dev->held.begin(); it != dev->held.end(); ++it) {
      if (*it == job.hdr) {
        dev->held.erase(it);
        give_back_out(dev, job.hdr);
        break;
      }
    }
  }
}

void in_thread(AlsaIn* dev) {
  unsigned char buf[256];
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(dev->mutex);
      if (dev->closing || dev->failed) return;
    }
    pollfd fds[4];
    const int n = snd_rawmidi_poll_descriptors(dev->raw, fds, 4);
    if (n <= 0 || poll(fds, static_cast<nfds_t>(n), kPollMs) <= 0) continue;
    const ssize_t r = snd_rawmidi_read(dev->raw, buf, sizeof buf);
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (r == -EAGAIN || r == 0) continue;
    if (r < 0) {
      dev->failed = true;  // the device is gone; buffers wait for a reset or close
      return;
    }
    if (dev->started) {
      midi_in_queue_feed(dev->queue, buf, static_cast<size_t>(r), give_back_in, dev);
    }
  }
}

void rawmidi_name(const RawmidiDevice& d, char* name, size_t size) {
  std::snprintf(name, size, "hw:%d,%d,%d", d.card, d.device, d.subdevice);
}

unsigned out_open(MidiHandle* handle, unsigned id, MidiCallback callback, uintptr_t instance) {
  const auto devices = list_rawmidi(true);
  if (id >= devices.size()) return kMmBadDeviceId;
  char name[64];
  rawmidi_name(devices[id], name, sizeof name);
  snd_rawmidi_t* raw = nullptr;
  const int err = snd_rawmidi_open(nullptr, &raw, name, SND_RAWMIDI_NONBLOCK);
  if (err < 0) return code_of(err);
  auto* dev = new (std::nothrow) AlsaOut;
  if (dev == nullptr) {
    snd_rawmidi_close(raw);
    return kMmNoMem;
  }
  dev->raw = raw;
  dev->callback = callback;
  dev->instance = instance;
  notify(dev, kMomOpen, nullptr);
  dev->thread = std::thread(out_thread, dev);
  *handle = dev;
  return 0;
}

unsigned in_open(MidiHandle* handle, unsigned id, MidiCallback callback, uintptr_t instance) {
  const auto devices = list_rawmidi(false);
  if (id >= devices.size()) return kMmBadDeviceId;
  char name[64];
  rawmidi_name(devices[id], name, sizeof name);
  snd_rawmidi_t* raw = nullptr;
  const int err = snd_rawmidi_open(&raw, nullptr, name, SND_RAWMIDI_NONBLOCK);
  if (err < 0) return code_of(err);
  auto* dev = new (std::nothrow) AlsaIn;
  if (dev == nullptr) {
    snd_rawmidi_close(raw);
    return kMmNoMem;
  }
  dev->raw = raw;
  dev->callback = callback;
  dev->instance = instance;
  midi_in_queue_clear(dev->queue);
  if (callback) callback(dev, kMimOpen, instance, 0, 0);
  dev->thread = std::thread(in_thread, dev);
  *handle = dev;
  return 0;
}

AlsaOut* out_of(MidiHandle h) { return static_cast<AlsaOut*>(h); }
AlsaIn* in_of(MidiHandle h) { return static_cast<AlsaIn*>(h); }

unsigned out_reset(MidiHandle h) {
  AlsaOut* dev = out_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  std::lock_guard<std::mutex> lock(dev->mutex);
  ++dev->generation;
  dev->jobs.clear();
  std::vector<MidiHdr*> back;
  back.swap(dev->held);
  for (MidiHdr* hdr : back) give_back_out(dev, hdr);
  return 0;
}

unsigned out_close(MidiHandle h) {
  AlsaOut* dev = out_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  {
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (!dev->held.empty()) return kMidiErrStillPlaying;
    dev->closing = true;
  }
  dev->changed.notify_all();
  dev->thread.join();
  snd_rawmidi_close(dev->raw);
  notify(dev, kMomClose, nullptr);
  delete dev;
  return 0;
}

unsigned in_reset(MidiHandle h) {
  AlsaIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  std::lock_guard<std::mutex> lock(dev->mutex);
  dev->started = false;
  midi_in_queue_reset(dev->queue, give_back_in, dev);
  return 0;
}

unsigned in_close(MidiHandle h) {
  AlsaIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  {
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (dev->queue.count > 0) return kMidiErrStillPlaying;
    dev->closing = true;
  }
  dev->thread.join();
  snd_rawmidi_close(dev->raw);
  if (dev->callback) dev->callback(dev, kMimClose, dev->instance, 0, 0);
  delete dev;
  return 0;
}

unsigned prepare(MidiHdr* hdr) {
  if (hdr == nullptr || hdr->lpData == nullptr) return kMmInvalParam;
  hdr->dwFlags |= kMhdrPrepared;
  return 0;
}

unsigned out_prepare(MidiHandle h, MidiHdr* hdr) { return h ? prepare(hdr) : kMmInvalHandle; }
unsigned in_prepare(MidiHandle h, MidiHdr* hdr) { return h ? prepare(hdr) : kMmInvalHandle; }

unsigned out_unprepare(MidiHandle h, MidiHdr* hdr) {
  AlsaOut* dev = out_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  std::lock_guard<std::mutex> lock(dev->mutex);
  for (MidiHdr* held : dev->held) {
    if (held == hdr) return kMidiErrStillPlaying;
  }
  hdr->dwFlags &= ~kMhdrPrepared;
  return 0;
}

unsigned in_unprepare(MidiHandle h, MidiHdr* hdr) {
  AlsaIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  std::lock_guard<std::mutex> lock(dev->mutex);
  if (midi_in_queue_holds(dev->queue, hdr)) return kMidiErrStillPlaying;
  hdr->dwFlags &= ~kMhdrPrepared;
  return 0;
}

unsigned out_long_msg(MidiHandle h, MidiHdr* hdr) {
  AlsaOut* dev = out_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  if (hdr == nullptr || (hdr->dwFlags & kMhdrPrepared) == 0) return kMidiErrUnprepared;
  {
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (dev->failed) return kMmNoDriver;
    for (MidiHdr* held : dev->held) {
      if (held == hdr) return kMidiErrStillPlaying;
    }
    hdr->dwFlags = (hdr->dwFlags & ~kMhdrDone) | kMhdrInqueue;
    dev->held.push_back(hdr);
    const auto* data = reinterpret_cast<const unsigned char*>(hdr->lpData);
    dev->jobs.push_back({hdr, std::vector<unsigned char>(data, data + hdr->dwBufferLength),
                         dev->generation});
  }
  dev->changed.notify_all();
  return 0;
}

unsigned in_add_buffer(MidiHandle h, MidiHdr* hdr) {
  AlsaIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  std::lock_guard<std::mutex> lock(dev->mutex);
  if (dev->failed) return kMmNoDriver;
  return midi_in_queue_add(dev->queue, hdr);
}

unsigned in_start(MidiHandle h) {
  AlsaIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  std::lock_guard<std::mutex> lock(dev->mutex);
  if (dev->failed) return kMmNoDriver;
  dev->started = true;
  return 0;
}

unsigned in_stop(MidiHandle h) {
  AlsaIn* dev = in_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  std::lock_guard<std::mutex> lock(dev->mutex);
  dev->started = false;
  midi_in_queue_stop(dev->queue, give_back_in, dev);
  return 0;
}

#else  // no ALSA: no devices, so nothing opens

unsigned out_open(MidiHandle*, unsigned, MidiCallback, uintptr_t) { return kMmBadDeviceId; }
unsigned in_open(MidiHandle*, unsigned, MidiCallback, uintptr_t) { return kMmBadDeviceId; }
unsigned no_device(MidiHandle) { return kMmInvalHandle; }
unsigned no_device_hdr(MidiHandle, MidiHdr*) { return kMmInvalHandle; }
constexpr auto out_close = no_device;
constexpr auto in_close = no_device;
constexpr auto out_reset = no_device;
constexpr auto in_start = no_device;
constexpr auto in_stop = no_device;
constexpr auto in_reset = no_device;
constexpr auto out_prepare = no_device_hdr;
constexpr auto out_unprepare = no_device_hdr;
constexpr auto in_prepare = no_device_hdr;
constexpr auto in_unprepare = no_device_hdr;
constexpr auto out_long_msg = no_device_hdr;
constexpr auto in_add_buffer = no_device_hdr;

#endif

// The texts for the codes this driver gives.
unsigned error_text(unsigned code, char* text, unsigned size) {
  const char* what = nullptr;
  switch (code) {
    case kMmError: what = "An unspecified error occurred."; break;
    case kMmBadDeviceId: what = "There is no MIDI device with this number."; break;
    case kMmAllocated: what = "The MIDI device is already in use."; break;
    case kMmInvalHandle: what = "The MIDI device is not open."; break;
    case kMmNoDriver: what = "The MIDI device is no longer there."; break;
    case kMmNoMem: what = "There is not enough memory."; break;
    case kMmInvalParam: what = "A parameter is not valid."; break;
    case kMidiErrUnprepared: what = "The buffer has not been prepared."; break;
    case kMidiErrStillPlaying: what = "The device still holds buffers."; break;
    case kMidiErrNotReady: what = "The MIDI device is busy."; break;
    default: return 9;
  }
  if (text != nullptr && size > 0) std::snprintf(text, size, "%s", what);
  return 0;
}

struct HeapBlock {
  void* data;
};

MidiMem mem_alloc(unsigned /*flags*/, size_t size) {
  auto* block = new (std::nothrow) HeapBlock{std::calloc(size ? size : 1, 1)};
  if (block != nullptr && block->data == nullptr) {
    delete block;
    block = nullptr;
  }
  return block;
}
void* mem_lock(MidiMem mem) { return mem ? static_cast<HeapBlock*>(mem)->data : nullptr; }
void mem_unlock(MidiMem) {}
void mem_free(MidiMem mem) {
  auto* block = static_cast<HeapBlock*>(mem);
  if (block == nullptr) return;
  std::free(block->data);
  delete block;
}

void sleep_ms(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
long last_error() { return errno; }

constexpr MidiDriver kAlsa = {
    out_num_devs,  in_num_devs,      out_get_caps,      in_get_caps,   out_open,     in_open,
    out_close,     in_close,         out_prepare,       out_unprepare, in_prepare,   in_unprepare,
    out_long_msg,  out_reset,        in_add_buffer,     in_start,      in_stop,      in_reset,
    error_text,    error_text,       mem_alloc,         mem_lock,      mem_unlock,   mem_free,
    midi_event_create, midi_event_set, midi_event_reset, midi_event_close,
    midi_event_wait_any, midi_event_wait_one, sleep_ms, last_error,
};

}  // namespace

const MidiDriver& platform_midi_driver() { return kAlsa; }
