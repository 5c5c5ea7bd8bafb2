#include "link/midi_driver.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace {
const MidiDriver* g_installed = nullptr;
}

const MidiDriver& midi_driver() { return g_installed ? *g_installed : platform_midi_driver(); }

void midi_driver_install(const MidiDriver* driver) { g_installed = driver; }

namespace {

struct HeapBlock {
  void* data;
};

}  // namespace

MidiMem midi_heap_alloc(unsigned /*flags*/, size_t size) {
  auto* block = new (std::nothrow) HeapBlock{std::calloc(size ? size : 1, 1)};
  if (block != nullptr && block->data == nullptr) {
    delete block;
    block = nullptr;
  }
  return block;
}

void* midi_heap_lock(MidiMem mem) { return mem ? static_cast<HeapBlock*>(mem)->data : nullptr; }

void midi_heap_unlock(MidiMem) {}

void midi_heap_free(MidiMem mem) {
  auto* block = static_cast<HeapBlock*>(mem);
  if (block == nullptr) return;
  std::free(block->data);
  delete block;
}

unsigned midi_error_text(unsigned code, const char* allocated, char* text, unsigned size) {
  const char* what = nullptr;
  switch (code) {
    case kMmError: what = "An unspecified error occurred."; break;
    case kMmBadDeviceId: what = "There is no MIDI device with this number."; break;
    case kMmAllocated: what = allocated; break;
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
