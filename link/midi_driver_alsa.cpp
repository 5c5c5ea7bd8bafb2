// ALSA rawmidi devices as the MIDI driver. Every rawmidi subdevice is one
// device id; every one counts as a hardware MIDI port.
//
// Output: the bytes of a queued header are written at once, as far as the port
// takes them; a thread of the device writes the rest as room comes and then
// waits until the port has sent everything out, which it reports as the done
// notice. A write the port refuses is the send's own result.
// Input: a thread of the device reads what comes in and fills the handed-over
// buffers (link/midi_in_queue.h), reporting each buffer it hands back.
// Callbacks run with the device's lock held, so a reset has given all its
// notices before it returns, and none comes after a close. No call waits on
// the port itself: a close, even of a port that has stopped sending, ends
// within one look of the device's thread.
#include "link/midi_driver_alsa.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <string>
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

// --- alsa-lib's calls ---

#if defined(XR_HAVE_ALSA)

std::vector<AlsaRawmidiPort> sys_list(bool output) {
  std::vector<AlsaRawmidiPort> found;
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
        AlsaRawmidiPort port{};
        std::snprintf(port.name, sizeof port.name, "hw:%d,%d,%u", card, device, sub);
        const char* name = snd_rawmidi_info_get_subdevice_name(info);
        if (name == nullptr || name[0] == '\0') name = snd_rawmidi_info_get_name(info);
        std::snprintf(port.display, sizeof port.display, "%s", name ? name : "");
        found.push_back(port);
      }
    }
    snd_ctl_close(ctl);
  }
  return found;
}

snd_rawmidi_t* rm(void* raw) { return static_cast<snd_rawmidi_t*>(raw); }

int sys_open(void** raw, const char* name, bool output) {
  snd_rawmidi_t* r = nullptr;
  const int err = output ? snd_rawmidi_open(nullptr, &r, name, SND_RAWMIDI_NONBLOCK)
                         : snd_rawmidi_open(&r, nullptr, name, SND_RAWMIDI_NONBLOCK);
  if (err < 0) return err;
  *raw = r;
  return 0;
}

int sys_close(void* raw) { return snd_rawmidi_close(rm(raw)); }

ssize_t sys_write(void* raw, const unsigned char* bytes, size_t length) {
  return snd_rawmidi_write(rm(raw), bytes, length);
}

ssize_t sys_read(void* raw, unsigned char* bytes, size_t length) {
  return snd_rawmidi_read(rm(raw), bytes, length);
}

// The port's buffer is empty when all of it is free again.
long sys_unsent(void* raw) {
  snd_rawmidi_params_t* params;
  snd_rawmidi_params_alloca(&params);
  int err = snd_rawmidi_params_current(rm(raw), params);
  if (err < 0) return err;
  snd_rawmidi_status_t* status;
  snd_rawmidi_status_alloca(&status);
  err = snd_rawmidi_status(rm(raw), status);
  if (err < 0) return err;
  const size_t size = snd_rawmidi_params_get_buffer_size(params);
  const size_t avail = snd_rawmidi_status_get_avail(status);
  return avail >= size ? 0 : static_cast<long>(size - avail);
}

int sys_drop(void* raw) { return snd_rawmidi_drop(rm(raw)); }

void sys_wait_input(void* raw, int ms) {
  pollfd fds[4];
  const int n = snd_rawmidi_poll_descriptors(rm(raw), fds, 4);
  if (n > 0) {
    poll(fds, static_cast<nfds_t>(n), ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

#else  // no ALSA: no ports, and nothing opens

std::vector<AlsaRawmidiPort> sys_list(bool) { return {}; }
int sys_open(void**, const char*, bool) { return -ENODEV; }
int sys_close(void*) { return -ENODEV; }
ssize_t sys_write(void*, const unsigned char*, size_t) { return -ENODEV; }
ssize_t sys_read(void*, unsigned char*, size_t) { return -ENODEV; }
long sys_unsent(void*) { return -ENODEV; }
int sys_drop(void*) { return -ENODEV; }
void sys_wait_input(void*, int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

#endif

constexpr AlsaRawmidi kSystem = {sys_list, sys_open, sys_close, sys_write,
                                 sys_read, sys_unsent, sys_drop, sys_wait_input};

std::atomic<const AlsaRawmidi*> installed{&kSystem};

const AlsaRawmidi& rawmidi() { return *installed.load(); }

// --- the devices ---

constexpr int kPollMs = 20;      // how soon the input thread notices a reset or close
constexpr int kOutLookMs = 2;    // how often the output thread looks at the port

unsigned open_code(int err) {
  switch (-err) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return kMmBadDeviceId;
    case EBUSY: return kMmAllocated;
    case ENOMEM: return kMmNoMem;
    default: return kMmError;
  }
}

// A port that fails a write or a look at its buffer is taken to be gone.
unsigned io_code(long err) { return err == -ENOMEM ? kMmNoMem : kMmNoDriver; }

unsigned out_num_devs() { return static_cast<unsigned>(rawmidi().list(true).size()); }
unsigned in_num_devs() { return static_cast<unsigned>(rawmidi().list(false).size()); }

// A port whose name another port of its direction shares (the subdevices of
// one device, which mostly have no names of their own, or two identical
// interfaces) is named by its place as well, as amidi -l shows it:
// "Virtual Raw MIDI (hw:0,0,1)". The name is cut, never the place, so the whole
// fits; a name no other port shows stays as it is.
void port_display(const std::vector<AlsaRawmidiPort>& ports, unsigned id, char* out, size_t size) {
  const AlsaRawmidiPort& port = ports[id];
  bool shared = false;
  for (unsigned other = 0; other < ports.size() && !shared; ++other)
    shared = other != id && std::strcmp(ports[other].display, port.display) == 0;
  if (!shared) {
    std::snprintf(out, size, "%s", port.display);
    return;
  }
  char place[sizeof port.name + 4];
  std::snprintf(place, sizeof place, " (%s)", port.name);
  const size_t place_len = std::strlen(place);
  size_t keep = std::strlen(port.display);
  if (keep + place_len >= size) keep = size > place_len ? size - 1 - place_len : 0;
  while (keep > 0 && port.display[keep - 1] == ' ') --keep;
  const std::string named = std::string(port.display, keep) + place;
  const size_t n = std::min(named.size(), size - 1);
  std::memcpy(out, named.data(), n);
  out[n] = '\0';
}

unsigned out_get_caps(unsigned id, MidiOutCaps* caps) {
  const auto ports = rawmidi().list(true);
  if (id >= ports.size()) return kMmBadDeviceId;
  port_display(ports, id, caps->szPname, sizeof caps->szPname);
  caps->wTechnology = kModMidiPort;
  caps->vDriverVersion = 0;
  return 0;
}

unsigned in_get_caps(unsigned id, MidiInCaps* caps) {
  const auto ports = rawmidi().list(false);
  if (id >= ports.size()) return kMmBadDeviceId;
  port_display(ports, id, caps->szPname, sizeof caps->szPname);
  caps->vDriverVersion = 0;
  return 0;
}

// One header's bytes that the port has not yet taken, then its wait until the
// port has sent everything out.
struct OutJob {
  MidiHdr* hdr;
  std::vector<unsigned char> rest;
  unsigned long generation;
};

struct AlsaOut {
  const AlsaRawmidi* calls = nullptr;
  void* raw = nullptr;
  MidiCallback callback = nullptr;
  uintptr_t instance = 0;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<OutJob> jobs;          // queued, not yet taken by the thread
  std::vector<MidiHdr*> held;       // every header not yet handed back
  unsigned long generation = 0;     // a reset abandons what is under way
  bool closing = false;
  bool failed = false;              // a write failed: the port is gone
  std::thread thread;
};

struct AlsaIn {
  const AlsaRawmidi* calls = nullptr;
  void* raw = nullptr;
  MidiCallback callback = nullptr;
  uintptr_t instance = 0;
  std::mutex mutex;
  MidiInQueue queue{};
  bool started = false;
  bool closing = false;
  bool failed = false;
  std::thread thread;
};

// With the device's lock held.
void notify(AlsaOut* dev, unsigned msg, MidiHdr* hdr) {
  if (dev->callback) dev->callback(dev, msg, dev->instance, reinterpret_cast<uintptr_t>(hdr), 0);
}

void give_back_out(AlsaOut* dev, MidiHdr* hdr) {
  hdr->dwFlags = (hdr->dwFlags & ~kMhdrInqueue) | kMhdrDone;
  notify(dev, kMomDone, hdr);
}

void give_back_in(MidiHdr* hdr, unsigned msg, void* context) {
  auto* dev = static_cast<AlsaIn*>(context);
  if (dev->callback) {
    dev->callback(dev, msg, dev->instance, reinterpret_cast<uintptr_t>(hdr), 0);
  }
}

// Writes the rest of one job, then waits until the port has sent it all.
// Called and returns with the lock held. Writes are made with it held, so
// that no other header's bytes come between; the look at what is left to
// send is made without it.
// 1: all sent; 0: the port failed; -1: abandoned by a reset or close.
int send_job(AlsaOut* dev, std::unique_lock<std::mutex>& lock, OutJob& job) {
  const auto abandoned = [dev, &job] { return dev->closing || dev->generation != job.generation; };
  size_t done = 0;
  while (done < job.rest.size()) {
    if (abandoned()) return -1;
    const ssize_t w = dev->calls->write(dev->raw, job.rest.data() + done, job.rest.size() - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w == 0 || w == -EAGAIN) {
      dev->changed.wait_for(lock, std::chrono::milliseconds(kOutLookMs), abandoned);
    } else {
      return 0;
    }
  }
  for (;;) {
    if (abandoned()) return -1;
    lock.unlock();
    const long left = dev->calls->unsent(dev->raw);
    lock.lock();
    if (left == 0) return abandoned() ? -1 : 1;
    if (left < 0) return 0;
    dev->changed.wait_for(lock, std::chrono::milliseconds(kOutLookMs), abandoned);
  }
}

void out_thread(AlsaOut* dev) {
  std::unique_lock<std::mutex> lock(dev->mutex);
  for (;;) {
    dev->changed.wait(lock, [dev] { return dev->closing || !dev->jobs.empty(); });
    if (dev->closing) return;
    OutJob job = std::move(dev->jobs.front());
    dev->jobs.pop_front();
    const int result = send_job(dev, lock, job);
    if (result == 0) {
      dev->failed = true;  // the header stays held until a reset or close hands it back
      continue;
    }
    if (result < 0) continue;
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
    dev->calls->wait_input(dev->raw, kPollMs);
    const ssize_t r = dev->calls->read(dev->raw, buf, sizeof buf);
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (r == -EAGAIN || r == 0) continue;
    if (r < 0) {
      dev->failed = true;  // the port is gone; buffers wait for a reset or close
      return;
    }
    if (dev->started) {
      midi_in_queue_feed(dev->queue, buf, static_cast<size_t>(r), give_back_in, dev);
    }
  }
}

// Opens port `id` of one direction into *raw; 0 or a result code.
unsigned open_port(bool output, unsigned id, const AlsaRawmidi& calls, void** raw) {
  const auto ports = calls.list(output);
  if (id >= ports.size()) return kMmBadDeviceId;
  const int err = calls.open(raw, ports[id].name, output);
  return err < 0 ? open_code(err) : 0;
}

unsigned out_open(MidiHandle* handle, unsigned id, MidiCallback callback, uintptr_t instance) {
  const AlsaRawmidi& calls = rawmidi();
  void* raw = nullptr;
  const unsigned code = open_port(true, id, calls, &raw);
  if (code != 0) return code;
  auto* dev = new (std::nothrow) AlsaOut;
  if (dev == nullptr) {
    calls.close(raw);
    return kMmNoMem;
  }
  dev->calls = &calls;
  dev->raw = raw;
  dev->callback = callback;
  dev->instance = instance;
  {
    std::lock_guard<std::mutex> lock(dev->mutex);
    notify(dev, kMomOpen, nullptr);
  }
  dev->thread = std::thread(out_thread, dev);
  *handle = dev;
  return 0;
}

unsigned in_open(MidiHandle* handle, unsigned id, MidiCallback callback, uintptr_t instance) {
  const AlsaRawmidi& calls = rawmidi();
  void* raw = nullptr;
  const unsigned code = open_port(false, id, calls, &raw);
  if (code != 0) return code;
  auto* dev = new (std::nothrow) AlsaIn;
  if (dev == nullptr) {
    calls.close(raw);
    return kMmNoMem;
  }
  dev->calls = &calls;
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
  {
    std::lock_guard<std::mutex> lock(dev->mutex);
    ++dev->generation;
    dev->jobs.clear();
    dev->calls->drop(dev->raw);  // what the port has not sent yet is abandoned
    std::vector<MidiHdr*> back;
    back.swap(dev->held);
    for (MidiHdr* hdr : back) give_back_out(dev, hdr);
  }
  dev->changed.notify_all();
  return 0;
}

unsigned out_close(MidiHandle h) {
  AlsaOut* dev = out_of(h);
  if (dev == nullptr) return kMmInvalHandle;
  {
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (!dev->held.empty()) return kMidiErrStillPlaying;
    dev->closing = true;
    notify(dev, kMomClose, nullptr);
    dev->callback = nullptr;
  }
  dev->changed.notify_all();
  dev->thread.join();  // the thread never waits on the port: this is one look at most
  // Nothing is left for the close to send: a port that has stopped would
  // otherwise hold the close until the system gives up on it.
  dev->calls->drop(dev->raw);
  dev->calls->close(dev->raw);
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
    if (dev->callback) dev->callback(dev, kMimClose, dev->instance, 0, 0);
    dev->callback = nullptr;
  }
  dev->thread.join();  // within one input wait
  dev->calls->close(dev->raw);
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
    const auto* data = reinterpret_cast<const unsigned char*>(hdr->lpData);
    const size_t length = hdr->dwBufferLength;
    // Written here, so that a port that refuses the bytes fails this send.
    size_t taken = 0;
    if (length > 0) {
      const ssize_t w = dev->calls->write(dev->raw, data, length);
      if (w == 0 || w == -EAGAIN) return kMidiErrNotReady;  // no room now: the caller tries again
      if (w < 0) {
        dev->failed = true;
        return io_code(w);
      }
      taken = static_cast<size_t>(w);
    }
    hdr->dwFlags = (hdr->dwFlags & ~kMhdrDone) | kMhdrInqueue;
    dev->held.push_back(hdr);
    dev->jobs.push_back({hdr, std::vector<unsigned char>(data + taken, data + length), dev->generation});
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

// The texts for the codes this driver gives.
unsigned error_text(unsigned code, char* text, unsigned size) {
  return midi_error_text(code, "The MIDI device is already in use.", text, size);
}

void sleep_ms(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
long last_error() { return errno; }

constexpr MidiDriver kAlsa = {
    out_num_devs,  in_num_devs,      out_get_caps,      in_get_caps,   out_open,     in_open,
    out_close,     in_close,         out_prepare,       out_unprepare, in_prepare,   in_unprepare,
    out_long_msg,  out_reset,        in_add_buffer,     in_start,      in_stop,      in_reset,
    error_text,    error_text,       midi_heap_alloc,   midi_heap_lock, midi_heap_unlock, midi_heap_free,
    midi_event_create, midi_event_set, midi_event_reset, midi_event_close,
    midi_event_wait_any, midi_event_wait_one, sleep_ms, last_error,
};

}  // namespace

const MidiDriver& platform_midi_driver() { return kAlsa; }

const AlsaRawmidi& alsa_rawmidi_system() { return kSystem; }

void alsa_rawmidi_install(const AlsaRawmidi* calls) { installed = calls ? calls : &kSystem; }
