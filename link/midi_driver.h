#pragma once
// The MIDI driver seam: the platform calls the MIDI link and the settings need.
// winmm on Windows (midi_driver_winmm.cpp), ALSA rawmidi on Linux
// (midi_driver_alsa.cpp), and a fake for tests that a test installs.
//
// The link's logic (midi_link.cpp) calls nothing else: device calls, header
// and buffer memory, events, waits and sleeps all go through here, so a test
// driver can record every pause on a clock of its own instead of sleeping.
// Codes and message numbers have the values winmm gives them.

#include <cstddef>
#include <cstdint>

constexpr int kMidiNameSize = 32;  // szPname, terminator included
constexpr unsigned kModMidiPort = 1;  // wTechnology of a hardware output port

struct MidiOutCaps {
  char szPname[kMidiNameSize];
  unsigned wTechnology;
  unsigned vDriverVersion;
};

struct MidiInCaps {
  char szPname[kMidiNameSize];
  unsigned vDriverVersion;
};

// The platform's buffer header, laid out field for field as winmm's MIDIHDR,
// which is byte-packed (64 bytes in a 32-bit program), so that the Windows
// driver hands it over as is.
#pragma pack(push, 1)
struct MidiHdr {
  char* lpData;
  uint32_t dwBufferLength;
  uint32_t dwBytesRecorded;
  uintptr_t dwUser;
  uint32_t dwFlags;
  MidiHdr* lpNext;
  uintptr_t reserved;
  uint32_t dwOffset;
  uintptr_t dwReserved[8];
};
#pragma pack(pop)

// dwFlags bits.
constexpr uint32_t kMhdrDone = 0x1;
constexpr uint32_t kMhdrPrepared = 0x2;
constexpr uint32_t kMhdrInqueue = 0x4;

// Result codes.
enum MidiResult : unsigned {
  kMmNoError = 0,
  kMmError = 1,
  kMmBadDeviceId = 2,
  kMmNotEnabled = 3,
  kMmAllocated = 4,
  kMmInvalHandle = 5,
  kMmNoDriver = 6,
  kMmNoMem = 7,
  kMmInvalFlag = 10,
  kMmInvalParam = 11,
  kMidiErrUnprepared = 64,
  kMidiErrStillPlaying = 65,
  kMidiErrNotReady = 67,
};

// Callback messages.
enum MidiMessage : unsigned {
  kMimOpen = 0x3C1,
  kMimClose = 0x3C2,
  kMimData = 0x3C3,
  kMimLongData = 0x3C4,
  kMimError = 0x3C5,
  kMimLongError = 0x3C6,
  kMomOpen = 0x3C7,
  kMomClose = 0x3C8,
  kMomDone = 0x3C9,
};

// Wait results.
constexpr unsigned kWaitObject0 = 0;  // + the index of the event that ended the wait
constexpr unsigned kWaitTimeout = 258;
constexpr unsigned kWaitFailed = 0xFFFFFFFFu;

// Memory flags.
constexpr unsigned kGmemMoveable = 0x0002;
constexpr unsigned kGmemZeroinit = 0x0040;
constexpr unsigned kGmemShare = 0x2000;

using MidiHandle = void*;
using MidiMem = void*;
using MidiEvent = void*;
// A driver callback: device handle, message, instance data, two parameters.
// Runs on a thread of the driver's choosing.
using MidiCallback = void (*)(MidiHandle handle, unsigned msg, uintptr_t instance,
                              uintptr_t param1, uintptr_t param2);

struct MidiDriver {
  unsigned (*out_num_devs)();
  unsigned (*in_num_devs)();
  // 0 on success, else an error code; the record is left as it was on failure.
  unsigned (*out_get_caps)(unsigned id, MidiOutCaps* caps);
  unsigned (*in_get_caps)(unsigned id, MidiInCaps* caps);

  // The members below default to null, so a driver that only lists devices
  // (a test's) may name the first four alone.
  // Devices. Each returns 0 on success, else a result code.
  unsigned (*out_open)(MidiHandle* handle, unsigned id, MidiCallback callback,
                       uintptr_t instance) = nullptr;
  unsigned (*in_open)(MidiHandle* handle, unsigned id, MidiCallback callback,
                      uintptr_t instance) = nullptr;
  unsigned (*out_close)(MidiHandle handle) = nullptr;
  unsigned (*in_close)(MidiHandle handle) = nullptr;
  unsigned (*out_prepare)(MidiHandle handle, MidiHdr* hdr) = nullptr;
  unsigned (*out_unprepare)(MidiHandle handle, MidiHdr* hdr) = nullptr;
  unsigned (*in_prepare)(MidiHandle handle, MidiHdr* hdr) = nullptr;
  unsigned (*in_unprepare)(MidiHandle handle, MidiHdr* hdr) = nullptr;
  // Queues hdr's bytes as they stand; kMomDone once the driver is done with them.
  unsigned (*out_long_msg)(MidiHandle handle, MidiHdr* hdr) = nullptr;
  // Abandons what is queued; every queued header comes back with kMomDone.
  unsigned (*out_reset)(MidiHandle handle) = nullptr;
  // Hands an input buffer over; it comes back with kMimLongData.
  unsigned (*in_add_buffer)(MidiHandle handle, MidiHdr* hdr) = nullptr;
  unsigned (*in_start)(MidiHandle handle) = nullptr;
  unsigned (*in_stop)(MidiHandle handle) = nullptr;
  // Stops input and hands back every buffer, each reported before it returns.
  unsigned (*in_reset)(MidiHandle handle) = nullptr;
  // The platform's text for a code; 0 on success. text always ends in a terminator.
  unsigned (*out_error_text)(unsigned code, char* text, unsigned size) = nullptr;
  unsigned (*in_error_text)(unsigned code, char* text, unsigned size) = nullptr;

  // Memory that stays in place while the driver holds it. Null on failure.
  MidiMem (*mem_alloc)(unsigned flags, size_t size) = nullptr;
  void* (*mem_lock)(MidiMem mem) = nullptr;
  void (*mem_unlock)(MidiMem mem) = nullptr;
  void (*mem_free)(MidiMem mem) = nullptr;

  // Manual-reset events, created not signalled. Null on failure.
  MidiEvent (*event_create)() = nullptr;
  void (*event_set)(MidiEvent event) = nullptr;
  void (*event_reset)(MidiEvent event) = nullptr;
  void (*event_close)(MidiEvent event) = nullptr;
  // Waits for any of `count` events: kWaitObject0 + the index of the first one
  // signalled in the list, kWaitTimeout or kWaitFailed.
  unsigned (*wait_any)(unsigned count, const MidiEvent* events, unsigned timeout_ms) = nullptr;
  unsigned (*wait_one)(MidiEvent event, unsigned timeout_ms) = nullptr;
  void (*sleep_ms)(unsigned ms) = nullptr;
  // The code of the last failed platform call.
  long (*last_error)() = nullptr;
};

// The platform's driver.
const MidiDriver& platform_midi_driver();
// The driver in use: the platform's unless a test installed another.
const MidiDriver& midi_driver();
// Installs `driver` (null: back to the platform's). Not while a link is open.
void midi_driver_install(const MidiDriver* driver);

// What the drivers without winmm's memory and texts (ALSA, the web page) share:
// memory blocks from the heap, and the texts of the codes they give (`allocated`
// is the text of kMmAllocated, which says why an open failed on that platform).
MidiMem midi_heap_alloc(unsigned flags, size_t size);
void* midi_heap_lock(MidiMem mem);
void midi_heap_unlock(MidiMem mem);
void midi_heap_free(MidiMem mem);
unsigned midi_error_text(unsigned code, const char* allocated, char* text, unsigned size);
