#include "tests/fake_midi_driver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "link/midi_in_queue.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRealDeadline = std::chrono::seconds(10);  // no real wait of the fake lasts longer

struct FakeDevice {
  bool open = false;
  MidiCallback callback = nullptr;
  uintptr_t instance = 0;
};

struct FakeMemory {
  unsigned flags;
  std::vector<char> bytes;
  int locks = 0;
};

struct FakeEvent {
  bool signalled = false;
  int number = 0;  // in the order of creation, from 1
};

enum class JobKind { kChunk, kDeliver, kRaw };

struct Job {
  JobKind kind;
  unsigned long long seq = 0;
  MidiHdr* hdr = nullptr;
  std::vector<unsigned char> bytes;
  std::vector<unsigned char> bytes2;
  int returned = 0;
};

// Device state: guarded by dev_mutex. Callbacks run with it held, so a reset's
// notices are all given before the reset returns and none comes after a close.
std::mutex dev_mutex;
FakeDevice out_dev, in_dev;
int out_count = 1, in_count = 1;
unsigned version = 0x0102;
bool vanished = false;
int refuse_left = 0;
unsigned refuse_code = kMidiErrNotReady;
bool hold = false;
bool keep_on_reset = false;  // held chunks survive a reset: they never come back
unsigned fail_out_open = 0, fail_in_open = 0;
std::vector<MidiHdr*> out_queued;  // queued, the fake's thread not yet at them
std::vector<MidiHdr*> out_held;    // kept by hold_completions
unsigned long long next_seq = 1, cancel_below = 0;
MidiInQueue in_queue;
bool in_started = false;
std::vector<unsigned char> sent;
std::vector<unsigned> chunks;
std::set<FakeMemory*> memory;
std::vector<unsigned> alloc_flags;
int alloc_fail_at = 0;
bool alloc_fail_lock = false;
int out_resets = 0, in_resets = 0;
std::vector<std::string> violations;
std::vector<std::string> ops;
FakeMidiPeer peer;

// Events, the fake's work and its clock: guarded by ev_mutex.
std::mutex ev_mutex;
std::condition_variable ev_changed;
std::set<FakeEvent*> events;
int events_made = 0;
int pending = 0;  // jobs queued or under way
std::deque<Job> jobs;
bool stopping = false;
std::thread worker;
bool fail_completion_waits = false;

std::atomic<long long> now_ms{0};
std::atomic<void (*)()> ticker{nullptr};
std::mutex hook_mutex;
std::function<void(FakeMidiCall, unsigned)> hook;
std::mutex step_mutex;
std::vector<FakeMidiStep> steps;

void violation(const char* what) { violations.push_back(what); }
// Records a release step (with dev_mutex held).
void op(const std::string& what) { ops.push_back(what); }

void record(const FakeMidiStep& step) {
  std::lock_guard<std::mutex> lock(step_mutex);
  steps.push_back(step);
}

void advance(long long ms) {
  const long long before = now_ms.fetch_add(ms);
  const long long ticks = (before + ms) / 100 - before / 100;
  void (*tick)() = ticker;
  if (tick == nullptr) return;
  for (long long i = 0; i < ticks; ++i) tick();
}

void call_hook(FakeMidiCall call, unsigned ms) {
  std::function<void(FakeMidiCall, unsigned)> h;
  {
    std::lock_guard<std::mutex> lock(hook_mutex);
    h = hook;
  }
  if (h) h(call, ms);
}

void give_back_in(MidiHdr* hdr, unsigned msg, void*) {
  if (in_dev.callback) {
    in_dev.callback(&in_dev, msg, in_dev.instance, reinterpret_cast<uintptr_t>(hdr), 0);
  }
}

void give_back_out(MidiHdr* hdr) {
  hdr->dwFlags = (hdr->dwFlags & ~kMhdrInqueue) | kMhdrDone;
  if (out_dev.callback) {
    out_dev.callback(&out_dev, kMomDone, out_dev.instance, reinterpret_cast<uintptr_t>(hdr), 0);
  }
}

void deliver_locked(const std::vector<unsigned char>& bytes) {
  if (!in_dev.open || !in_started || vanished) return;  // nothing listens: the bytes are lost
  midi_in_queue_feed(in_queue, bytes.data(), bytes.size(), give_back_in, nullptr);
}

void write_raw(MidiHdr* hdr, const std::vector<unsigned char>& bytes) {
  const size_t n = std::min<size_t>(bytes.size(), hdr->dwBufferLength);
  if (n > 0) std::memcpy(hdr->lpData, bytes.data(), n);
  hdr->dwBytesRecorded = static_cast<uint32_t>(n);
}

void run_job(Job& job) {
  if (job.kind == JobKind::kChunk) {
    std::vector<unsigned char> reply;
    bool completed = false;
    FakeMidiPeer answer;
    {
      std::lock_guard<std::mutex> lock(dev_mutex);
      auto it = std::find(out_queued.begin(), out_queued.end(), job.hdr);
      if (job.seq >= cancel_below && it != out_queued.end()) {
        out_queued.erase(it);
        if (hold) {
          out_held.push_back(job.hdr);
        } else {
          sent.insert(sent.end(), job.bytes.begin(), job.bytes.end());
          chunks.push_back(static_cast<unsigned>(job.bytes.size()));
          give_back_out(job.hdr);
          completed = true;
          answer = peer;
        }
      }
    }
    if (completed && answer) reply = answer(job.bytes.data(), job.bytes.size());
    if (!reply.empty()) {
      std::lock_guard<std::mutex> lock(dev_mutex);
      deliver_locked(reply);
    }
  } else if (job.kind == JobKind::kDeliver) {
    std::lock_guard<std::mutex> lock(dev_mutex);
    deliver_locked(job.bytes);
  } else {
    std::lock_guard<std::mutex> lock(dev_mutex);
    if (in_queue.count < 2) return;
    MidiHdr* first = in_queue.hdr[0];
    MidiHdr* second = in_queue.hdr[1];
    write_raw(first, job.bytes);
    write_raw(second, job.bytes2);
    for (int i = 0; i < job.returned && in_queue.count > 0; ++i) {
      MidiHdr* hdr = in_queue.hdr[0];
      for (int k = 1; k < in_queue.count; ++k) in_queue.hdr[k - 1] = in_queue.hdr[k];
      in_queue.hdr[--in_queue.count] = nullptr;
      hdr->dwFlags = (hdr->dwFlags & ~kMhdrInqueue) | kMhdrDone;
      give_back_in(hdr, kMimLongData, nullptr);
    }
  }
}

void worker_main() {
  std::unique_lock<std::mutex> lock(ev_mutex);
  for (;;) {
    ev_changed.wait(lock, [] { return stopping || !jobs.empty(); });
    if (jobs.empty()) return;  // stopping, nothing left
    Job job = std::move(jobs.front());
    jobs.pop_front();
    lock.unlock();
    run_job(job);
    lock.lock();
    --pending;
    ev_changed.notify_all();
  }
}

void queue_job(Job job) {
  {
    std::lock_guard<std::mutex> lock(ev_mutex);
    ++pending;
    jobs.push_back(std::move(job));
  }
  ev_changed.notify_all();
}

// --- the driver's functions ---

unsigned out_num_devs() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return vanished ? 0 : static_cast<unsigned>(out_count);
}

unsigned in_num_devs() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return vanished ? 0 : static_cast<unsigned>(in_count);
}

unsigned out_get_caps(unsigned id, MidiOutCaps* caps) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (vanished || id >= static_cast<unsigned>(out_count)) return kMmBadDeviceId;
  std::snprintf(caps->szPname, sizeof caps->szPname, "Fake MIDI Out %u", id + 1);
  caps->wTechnology = kModMidiPort;
  caps->vDriverVersion = version;
  return 0;
}

unsigned in_get_caps(unsigned id, MidiInCaps* caps) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (vanished || id >= static_cast<unsigned>(in_count)) return kMmBadDeviceId;
  std::snprintf(caps->szPname, sizeof caps->szPname, "Fake MIDI In %u", id + 1);
  caps->vDriverVersion = version;
  return 0;
}

unsigned open_dev(FakeDevice& dev, int count, unsigned fail, unsigned id, MidiHandle* handle,
                  MidiCallback callback, uintptr_t instance, unsigned open_msg) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (vanished || id >= static_cast<unsigned>(count)) return kMmBadDeviceId;
  if (fail != 0) return fail;
  if (dev.open) return kMmAllocated;
  dev.open = true;
  dev.callback = callback;
  dev.instance = instance;
  if (callback) callback(&dev, open_msg, instance, 0, 0);
  *handle = &dev;
  return 0;
}

unsigned out_open(MidiHandle* handle, unsigned id, MidiCallback callback, uintptr_t instance) {
  return open_dev(out_dev, out_count, fail_out_open, id, handle, callback, instance, kMomOpen);
}

unsigned in_open(MidiHandle* handle, unsigned id, MidiCallback callback, uintptr_t instance) {
  unsigned r = open_dev(in_dev, in_count, fail_in_open, id, handle, callback, instance, kMimOpen);
  if (r == 0) {
    std::lock_guard<std::mutex> lock(dev_mutex);
    midi_in_queue_clear(in_queue);
    in_started = false;
  }
  return r;
}

bool valid(MidiHandle handle, FakeDevice& dev) { return handle == &dev && dev.open; }

// Hands back every output header still with the driver (but for held chunks
// that are kept through resets).
void return_output_locked() {
  cancel_below = next_seq;
  std::vector<MidiHdr*> back = out_queued;
  if (!keep_on_reset) {
    back.insert(back.begin(), out_held.begin(), out_held.end());
    out_held.clear();
  }
  out_queued.clear();
  for (MidiHdr* hdr : back) give_back_out(hdr);
}

unsigned out_close(MidiHandle handle) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (!valid(handle, out_dev)) return kMmInvalHandle;
  op("out_close");
  if (!out_held.empty() || !out_queued.empty()) {
    // A driver that keeps a chunk through resets leaves the link no other way out.
    if (!keep_on_reset) violation("output closed while the driver held a chunk");
    return kMidiErrStillPlaying;
  }
  if (out_dev.callback) out_dev.callback(&out_dev, kMomClose, out_dev.instance, 0, 0);
  out_dev = FakeDevice{};
  return 0;
}

unsigned in_close(MidiHandle handle) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (!valid(handle, in_dev)) return kMmInvalHandle;
  op("in_close");
  if (in_queue.count > 0) {
    violation("input closed while the driver held buffers");
    return kMidiErrStillPlaying;
  }
  if (in_dev.callback) in_dev.callback(&in_dev, kMimClose, in_dev.instance, 0, 0);
  in_dev = FakeDevice{};
  in_started = false;
  return 0;
}

unsigned prepare(MidiHandle handle, FakeDevice& dev, MidiHdr* hdr) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (!valid(handle, dev)) return kMmInvalHandle;
  if (vanished) return kMmNoDriver;
  if (hdr == nullptr || hdr->lpData == nullptr) return kMmInvalParam;
  hdr->dwFlags |= kMhdrPrepared;
  return 0;
}

unsigned out_prepare(MidiHandle handle, MidiHdr* hdr) { return prepare(handle, out_dev, hdr); }
unsigned in_prepare(MidiHandle handle, MidiHdr* hdr) { return prepare(handle, in_dev, hdr); }

unsigned out_unprepare(MidiHandle handle, MidiHdr* hdr) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (!valid(handle, out_dev)) return kMmInvalHandle;
  op("out_unprepare");
  if (std::count(out_held.begin(), out_held.end(), hdr) ||
      std::count(out_queued.begin(), out_queued.end(), hdr)) {
    return kMidiErrStillPlaying;
  }
  hdr->dwFlags &= ~kMhdrPrepared;
  return 0;
}

unsigned in_unprepare(MidiHandle handle, MidiHdr* hdr) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (!valid(handle, in_dev)) return kMmInvalHandle;
  op("in_unprepare");
  if (midi_in_queue_holds(in_queue, hdr)) return kMidiErrStillPlaying;
  hdr->dwFlags &= ~kMhdrPrepared;
  return 0;
}

unsigned out_long_msg(MidiHandle handle, MidiHdr* hdr) {
  Job job;
  {
    std::lock_guard<std::mutex> lock(dev_mutex);
    if (!valid(handle, out_dev)) return kMmInvalHandle;
    if (vanished) return kMmNoDriver;
    if (hdr == nullptr || (hdr->dwFlags & kMhdrPrepared) == 0) return kMidiErrUnprepared;
    if (std::count(out_held.begin(), out_held.end(), hdr) ||
        std::count(out_queued.begin(), out_queued.end(), hdr)) {
      violation("a header still with the driver was sent again");
      return kMidiErrStillPlaying;
    }
    if (refuse_left != 0) {
      if (refuse_left > 0) --refuse_left;
      return refuse_code;
    }
    hdr->dwFlags = (hdr->dwFlags & ~kMhdrDone) | kMhdrInqueue;
    out_queued.push_back(hdr);
    job.kind = JobKind::kChunk;
    job.seq = next_seq++;
    job.hdr = hdr;
    job.bytes.assign(reinterpret_cast<unsigned char*>(hdr->lpData),
                     reinterpret_cast<unsigned char*>(hdr->lpData) + hdr->dwBufferLength);
  }
  queue_job(std::move(job));
  return 0;
}

unsigned out_reset(MidiHandle handle) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (!valid(handle, out_dev)) return kMmInvalHandle;
  ++out_resets;
  op("out_reset");
  return_output_locked();
  return 0;
}

unsigned in_add_buffer(MidiHandle handle, MidiHdr* hdr) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (!valid(handle, in_dev)) return kMmInvalHandle;
  if (vanished) return kMmNoDriver;
  return midi_in_queue_add(in_queue, hdr);
}

unsigned in_start(MidiHandle handle) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (!valid(handle, in_dev)) return kMmInvalHandle;
  if (vanished) return kMmNoDriver;
  in_started = true;
  return 0;
}

unsigned in_stop(MidiHandle handle) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (!valid(handle, in_dev)) return kMmInvalHandle;
  op("in_stop");
  in_started = false;
  midi_in_queue_stop(in_queue, give_back_in, nullptr);
  return 0;
}

unsigned in_reset(MidiHandle handle) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  if (!valid(handle, in_dev)) return kMmInvalHandle;
  ++in_resets;
  op("in_reset");
  in_started = false;
  midi_in_queue_reset(in_queue, give_back_in, nullptr);
  return 0;
}

unsigned error_text(const char* direction, unsigned code, char* text, unsigned size) {
  const char* what = nullptr;
  switch (code) {
    case kMmError: what = "unspecified error"; break;
    case kMmBadDeviceId: what = "no such device"; break;
    case kMmAllocated: what = "device in use"; break;
    case kMmInvalHandle: what = "invalid handle"; break;
    case kMmNoDriver: what = "device gone"; break;
    case kMmNoMem: what = "out of memory"; break;
    case kMidiErrUnprepared: what = "header not prepared"; break;
    case kMidiErrStillPlaying: what = "buffers still queued"; break;
    case kMidiErrNotReady: what = "device busy"; break;
    default: break;
  }
  if (what == nullptr) return 9;  // no text for this code
  std::snprintf(text, size, "fake %s: %s", direction, what);
  return 0;
}

unsigned out_error_text(unsigned code, char* text, unsigned size) {
  return error_text("out", code, text, size);
}
unsigned in_error_text(unsigned code, char* text, unsigned size) {
  return error_text("in", code, text, size);
}

MidiMem mem_alloc(unsigned flags, size_t size) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  alloc_flags.push_back(flags);
  const bool fail_this = alloc_fail_at > 0 && --alloc_fail_at == 0;
  if (fail_this && !alloc_fail_lock) return nullptr;
  auto* m = new FakeMemory{flags, std::vector<char>(size, 0), 0};
  if (fail_this) m->locks = -1;  // marks the block whose lock fails
  memory.insert(m);
  return m;
}

void* mem_lock(MidiMem mem) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  auto* m = static_cast<FakeMemory*>(mem);
  if (memory.count(m) == 0) {
    violation("lock of unknown memory");
    return nullptr;
  }
  if (m->locks < 0) return nullptr;
  ++m->locks;
  return m->bytes.data();
}

void mem_unlock(MidiMem mem) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  auto* m = static_cast<FakeMemory*>(mem);
  if (memory.count(m) == 0 || m->locks <= 0) {
    violation("unlock of memory that is not locked");
    return;
  }
  --m->locks;
}

bool inside(const FakeMemory* m, const void* p) {
  const char* c = static_cast<const char*>(p);
  return c >= m->bytes.data() && c < m->bytes.data() + m->bytes.size();
}

void mem_free(MidiMem mem) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  auto* m = static_cast<FakeMemory*>(mem);
  if (memory.count(m) == 0) {
    violation("free of unknown memory");
    return;
  }
  std::vector<MidiHdr*> held = out_held;
  held.insert(held.end(), out_queued.begin(), out_queued.end());
  for (int i = 0; i < in_queue.count; ++i) held.push_back(in_queue.hdr[i]);
  for (MidiHdr* hdr : held) {
    // A header whose own memory has gone (a violation already) is not read.
    const bool readable = std::any_of(memory.begin(), memory.end(),
                                      [hdr](const FakeMemory* live) { return inside(live, hdr); });
    if (inside(m, hdr) || (readable && inside(m, hdr->lpData))) {
      violation("memory freed while the driver held it");
    }
  }
  if (m->locks > 0) violation("memory freed while locked");
  op("free " + std::to_string(m->bytes.size()));
  memory.erase(m);
  delete m;
}

MidiEvent event_create() {
  std::lock_guard<std::mutex> lock(ev_mutex);
  auto* e = new FakeEvent;
  e->number = ++events_made;
  events.insert(e);
  return e;
}

void event_set(MidiEvent event) {
  {
    std::lock_guard<std::mutex> lock(ev_mutex);
    auto* e = static_cast<FakeEvent*>(event);
    if (events.count(e) == 0) return;
    e->signalled = true;
  }
  ev_changed.notify_all();
}

void event_reset(MidiEvent event) {
  std::lock_guard<std::mutex> lock(ev_mutex);
  auto* e = static_cast<FakeEvent*>(event);
  if (events.count(e)) e->signalled = false;
}

void event_close(MidiEvent event) {
  int number = 0;
  {
    std::lock_guard<std::mutex> lock(ev_mutex);
    auto* e = static_cast<FakeEvent*>(event);
    if (events.erase(e) == 0) return;
    number = e->number;
    delete e;
  }
  std::lock_guard<std::mutex> lock(dev_mutex);
  op("event_close " + std::to_string(number));
}

// A wait: an event already set ends it at once; while work is in flight it
// waits for real; otherwise it runs out on the fake clock.
unsigned fake_wait(FakeMidiCall call, unsigned count, const MidiEvent* list, unsigned timeout_ms) {
  call_hook(call, timeout_ms);
  const long long start = now_ms;
  unsigned result = kWaitTimeout;
  {
    std::unique_lock<std::mutex> lock(ev_mutex);
    const auto deadline = Clock::now() + kRealDeadline;
    for (;;) {
      int found = -1;
      bool bad = count == 0;
      for (unsigned i = 0; i < count && !bad; ++i) {
        auto* e = static_cast<FakeEvent*>(list[i]);
        if (e == nullptr || events.count(e) == 0) {
          bad = true;
        } else if (found < 0 && e->signalled) {
          found = static_cast<int>(i);
        }
      }
      if (bad) {
        result = kWaitFailed;
        break;
      }
      if (found >= 0) {
        result = kWaitObject0 + static_cast<unsigned>(found);
        break;
      }
      if (pending > 0) {
        if (ev_changed.wait_until(lock, deadline) == std::cv_status::timeout) {
          result = kWaitFailed;  // the fake's own thread is stuck
          break;
        }
        continue;
      }
      result = kWaitTimeout;
      break;
    }
  }
  if (result == kWaitTimeout) advance(timeout_ms);
  record({call, start, timeout_ms, result, now_ms - start});
  return result;
}

unsigned wait_any(unsigned count, const MidiEvent* list, unsigned timeout_ms) {
  bool fail;
  {
    std::lock_guard<std::mutex> lock(ev_mutex);
    fail = fail_completion_waits;
  }
  if (fail) {
    call_hook(FakeMidiCall::kWaitAny, timeout_ms);
    record({FakeMidiCall::kWaitAny, now_ms, timeout_ms, kWaitFailed, 0});
    return kWaitFailed;
  }
  return fake_wait(FakeMidiCall::kWaitAny, count, list, timeout_ms);
}

unsigned wait_one(MidiEvent event, unsigned timeout_ms) {
  return fake_wait(FakeMidiCall::kWaitOne, 1, &event, timeout_ms);
}

void sleep_ms(unsigned ms) {
  call_hook(FakeMidiCall::kSleep, ms);
  const long long start = now_ms;
  {
    // What is in flight is done before the fake time passes.
    std::unique_lock<std::mutex> lock(ev_mutex);
    ev_changed.wait_until(lock, Clock::now() + kRealDeadline, [] { return pending == 0; });
  }
  advance(ms);
  record({FakeMidiCall::kSleep, start, ms, 0, now_ms - start});
}

long last_error() { return 6; }

// The sends as the link made them, recorded on its thread.
unsigned recorded_long_msg(MidiHandle handle, MidiHdr* hdr) {
  const long long start = now_ms;
  const unsigned n = hdr ? hdr->dwBufferLength : 0;
  const unsigned r = out_long_msg(handle, hdr);
  record({FakeMidiCall::kSend, start, n, r, 0});
  return r;
}

const MidiDriver kFake = {
    out_num_devs,  in_num_devs,    out_get_caps,  in_get_caps,   out_open,     in_open,
    out_close,     in_close,       out_prepare,   out_unprepare, in_prepare,   in_unprepare,
    recorded_long_msg, out_reset,  in_add_buffer, in_start,      in_stop,      in_reset,
    out_error_text, in_error_text, mem_alloc,     mem_lock,      mem_unlock,   mem_free,
    event_create,  event_set,      event_reset,   event_close,   wait_any,     wait_one,
    sleep_ms,      last_error,
};

}  // namespace

const MidiDriver& fake_midi_driver() { return kFake; }

void fake_midi_install(int outs, int ins) {
  fake_midi_uninstall();
  {
    std::lock_guard<std::mutex> lock(dev_mutex);
    out_dev = FakeDevice{};
    in_dev = FakeDevice{};
    out_count = outs;
    in_count = ins;
    version = 0x0102;
    vanished = false;
    refuse_left = 0;
    refuse_code = kMidiErrNotReady;
    hold = false;
    keep_on_reset = false;
    fail_out_open = fail_in_open = 0;
    out_queued.clear();
    out_held.clear();
    next_seq = 1;
    cancel_below = 0;
    midi_in_queue_clear(in_queue);
    in_started = false;
    sent.clear();
    chunks.clear();
    for (FakeMemory* m : memory) delete m;
    memory.clear();
    alloc_flags.clear();
    alloc_fail_at = 0;
    alloc_fail_lock = false;
    out_resets = in_resets = 0;
    violations.clear();
    ops.clear();
    peer = nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(ev_mutex);
    for (FakeEvent* e : events) delete e;
    events.clear();
    events_made = 0;
    pending = 0;
    jobs.clear();
    stopping = false;
    fail_completion_waits = false;
  }
  {
    std::lock_guard<std::mutex> lock(hook_mutex);
    hook = nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(step_mutex);
    steps.clear();
  }
  now_ms = 0;
  ticker = nullptr;
  worker = std::thread(worker_main);
  midi_driver_install(&kFake);
}

void fake_midi_uninstall() {
  if (worker.joinable()) {
    {
      std::lock_guard<std::mutex> lock(ev_mutex);
      stopping = true;
    }
    ev_changed.notify_all();
    worker.join();
  }
  midi_driver_install(nullptr);
}

void fake_midi_set_peer(FakeMidiPeer p) {
  fake_midi_wait_idle();
  std::lock_guard<std::mutex> lock(dev_mutex);
  peer = std::move(p);
}

void fake_midi_set_ticker(void (*tick)()) { ticker = tick; }

void fake_midi_on_wait(std::function<void(FakeMidiCall, unsigned)> h) {
  std::lock_guard<std::mutex> lock(hook_mutex);
  hook = std::move(h);
}

void fake_midi_set_version(unsigned v) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  version = v;
}

void fake_midi_refuse_sends(int count, unsigned code) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  refuse_left = count;
  refuse_code = code;
}

void fake_midi_hold_completions(bool h) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  hold = h;
}

void fake_midi_keep_chunks_through_resets(bool keep) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  keep_on_reset = keep;
}

void fake_midi_fail_completion_waits(bool fail) {
  std::lock_guard<std::mutex> lock(ev_mutex);
  fail_completion_waits = fail;
}

bool fake_midi_input_started() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return in_started;
}

int fake_midi_input_buffers_held() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return in_queue.count;
}

MidiHandle fake_midi_out_handle() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return out_dev.open ? static_cast<MidiHandle>(&out_dev) : nullptr;
}

void fake_midi_fail_open(bool output, unsigned code) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  (output ? fail_out_open : fail_in_open) = code;
}

void fake_midi_fail_alloc(int nth, bool lock_fails) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  alloc_fail_at = nth;
  alloc_fail_lock = lock_fails;
}

void fake_midi_vanish(bool gone) {
  std::lock_guard<std::mutex> lock(dev_mutex);
  vanished = gone;
}

void fake_midi_deliver(std::vector<unsigned char> bytes) {
  Job job;
  job.kind = JobKind::kDeliver;
  job.bytes = std::move(bytes);
  queue_job(std::move(job));
}

void fake_midi_return_raw(std::vector<unsigned char> buf0, std::vector<unsigned char> buf1,
                          int returned) {
  Job job;
  job.kind = JobKind::kRaw;
  job.bytes = std::move(buf0);
  job.bytes2 = std::move(buf1);
  job.returned = returned;
  queue_job(std::move(job));
}

bool fake_midi_wait_idle(int deadline_ms) {
  std::unique_lock<std::mutex> lock(ev_mutex);
  return ev_changed.wait_for(lock, std::chrono::milliseconds(deadline_ms), [] { return pending == 0; });
}

long long fake_midi_now_ms() { return now_ms; }

std::vector<FakeMidiStep> fake_midi_steps() {
  std::lock_guard<std::mutex> lock(step_mutex);
  return steps;
}

void fake_midi_clear_steps() {
  std::lock_guard<std::mutex> lock(step_mutex);
  steps.clear();
}

std::vector<unsigned char> fake_midi_sent_bytes() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return sent;
}

std::vector<unsigned> fake_midi_completed_chunks() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return chunks;
}

int fake_midi_live_memory() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return static_cast<int>(memory.size());
}

int fake_midi_live_events() {
  std::lock_guard<std::mutex> lock(ev_mutex);
  return static_cast<int>(events.size());
}

int fake_midi_open_devices() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return (out_dev.open ? 1 : 0) + (in_dev.open ? 1 : 0);
}

std::vector<unsigned> fake_midi_alloc_flags() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return alloc_flags;
}

std::vector<std::string> fake_midi_violations() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return violations;
}

int fake_midi_out_resets() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return out_resets;
}

int fake_midi_in_resets() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return in_resets;
}

std::vector<std::string> fake_midi_release_steps() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  return ops;
}

void fake_midi_clear_release_steps() {
  std::lock_guard<std::mutex> lock(dev_mutex);
  ops.clear();
}

FakeMidiPeer fake_midi_message_peer(
    std::function<std::vector<unsigned char>(const std::vector<unsigned char>&)> answer) {
  auto message = std::make_shared<std::vector<unsigned char>>();
  return [message, answer](const unsigned char* data, size_t length) {
    std::vector<unsigned char> replies;
    for (size_t i = 0; i < length; ++i) {
      if (data[i] == 0xF0) message->clear();
      message->push_back(data[i]);
      if (data[i] == 0xF7 && message->front() == 0xF0) {
        const std::vector<unsigned char> reply = answer(*message);
        replies.insert(replies.end(), reply.begin(), reply.end());
        message->clear();
      }
    }
    return replies;
  };
}
