#include "link/midi_event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace {

struct PortableEvent {
  bool signalled = false;
};

// One lock and one condition for all events: a wait on several events then
// needs nothing more, and events are few and rarely set.
std::mutex event_mutex;
std::condition_variable event_changed;

constexpr unsigned kInfinite = 0xFFFFFFFFu;

// The index of the first signalled event, or -1.
int first_signalled(unsigned count, const MidiEvent* events) {
  for (unsigned i = 0; i < count; ++i) {
    if (static_cast<PortableEvent*>(events[i])->signalled) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

MidiEvent midi_event_create() { return new (std::nothrow) PortableEvent; }

void midi_event_set(MidiEvent event) {
  if (event == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(event_mutex);
    static_cast<PortableEvent*>(event)->signalled = true;
  }
  event_changed.notify_all();
}

void midi_event_reset(MidiEvent event) {
  if (event == nullptr) return;
  std::lock_guard<std::mutex> lock(event_mutex);
  static_cast<PortableEvent*>(event)->signalled = false;
}

void midi_event_close(MidiEvent event) { delete static_cast<PortableEvent*>(event); }

unsigned midi_event_wait_any(unsigned count, const MidiEvent* events, unsigned timeout_ms) {
  if (count == 0) return kWaitFailed;
  for (unsigned i = 0; i < count; ++i) {
    if (events[i] == nullptr) return kWaitFailed;
  }
  std::unique_lock<std::mutex> lock(event_mutex);
  int found = first_signalled(count, events);
  if (timeout_ms == kInfinite) {
    while (found < 0) {
      event_changed.wait(lock);
      found = first_signalled(count, events);
    }
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (found < 0) {
      if (event_changed.wait_until(lock, deadline) == std::cv_status::timeout) {
        found = first_signalled(count, events);
        break;
      }
      found = first_signalled(count, events);
    }
  }
  return found < 0 ? kWaitTimeout : kWaitObject0 + static_cast<unsigned>(found);
}

unsigned midi_event_wait_one(MidiEvent event, unsigned timeout_ms) {
  return midi_event_wait_any(1, &event, timeout_ms);
}
