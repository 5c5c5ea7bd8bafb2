// winmm as the MIDI driver: devices with callback functions, headers and
// buffers in locked global memory, Win32 events and waits.
#include <windows.h>
#include <mmsystem.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "link/midi_driver.h"

static_assert(sizeof(MidiHdr) == sizeof(MIDIHDR), "MidiHdr mirrors MIDIHDR");
static_assert(offsetof(MidiHdr, lpData) == offsetof(MIDIHDR, lpData), "MidiHdr mirrors MIDIHDR");
static_assert(offsetof(MidiHdr, dwBufferLength) == offsetof(MIDIHDR, dwBufferLength), "");
static_assert(offsetof(MidiHdr, dwBytesRecorded) == offsetof(MIDIHDR, dwBytesRecorded), "");
static_assert(offsetof(MidiHdr, dwFlags) == offsetof(MIDIHDR, dwFlags), "");
static_assert(offsetof(MidiHdr, dwReserved) == offsetof(MIDIHDR, dwReserved), "");
#if !defined(_WIN64)
static_assert(sizeof(MIDIHDR) == 64, "a 32-bit MIDIHDR has 64 bytes");
#endif
static_assert(MHDR_DONE == kMhdrDone && MIDIERR_NOTREADY == kMidiErrNotReady, "");
static_assert(MOM_DONE == kMomDone && MIM_LONGDATA == kMimLongData, "");
static_assert(WAIT_TIMEOUT == kWaitTimeout && WAIT_FAILED == kWaitFailed, "");
static_assert(GMEM_MOVEABLE == kGmemMoveable && GMEM_ZEROINIT == kGmemZeroinit &&
                  GMEM_SHARE == kGmemShare, "");

namespace {

// The link's callbacks, one per direction; winmm calls the stubs below.
std::atomic<MidiCallback> out_callback{nullptr};
std::atomic<MidiCallback> in_callback{nullptr};

void CALLBACK out_stub(HMIDIOUT handle, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
  MidiCallback cb = out_callback;
  if (cb != nullptr) cb(handle, msg, instance, p1, p2);
}

void CALLBACK in_stub(HMIDIIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
  MidiCallback cb = in_callback;
  if (cb != nullptr) cb(handle, msg, instance, p1, p2);
}

MIDIHDR* hdr_of(MidiHdr* hdr) { return reinterpret_cast<MIDIHDR*>(hdr); }

// Wine's winmm sends every long message as a whole SysEx message: a part
// without F0 at its start gets one, and one without F7 at its end gets one, so
// a message sent in parts reaches the instrument as that many broken messages.
// Under Wine the parts are therefore gathered here, each reported done at once
// (its bytes are copied), and the whole message goes out with its last part.
// The pauses after each part stay; only the bytes of one message go together.
bool on_wine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

struct Gathered {
  std::mutex mutex;
  std::array<char, 0x3000> bytes{};  // as large as the link's output buffer
  size_t length = 0;
  bool overflow = false;
  MIDIHDR whole{};      // the gathered message, while winmm has it
  bool prepared = false;
  uintptr_t instance = 0;
};
Gathered gathered;

unsigned send_part(HMIDIOUT h, MIDIHDR* part) {
  const auto* data = reinterpret_cast<const unsigned char*>(part->lpData);
  const size_t n = part->dwBufferLength;
  if (n == 0 || (data[0] == 0xF0 && data[n - 1] == 0xF7)) return midiOutLongMsg(h, part, sizeof(MIDIHDR));
  std::unique_lock<std::mutex> lock(gathered.mutex);
  if (data[0] == 0xF0) {
    gathered.length = 0;
    gathered.overflow = false;
  }
  if (gathered.length + n > gathered.bytes.size()) {
    gathered.overflow = true;
  } else {
    std::memcpy(gathered.bytes.data() + gathered.length, data, n);
    gathered.length += n;
  }
  part->dwFlags |= MHDR_DONE;
  if (data[n - 1] != 0xF7) {
    lock.unlock();
    out_stub(h, MOM_DONE, gathered.instance, reinterpret_cast<DWORD_PTR>(part), 0);
    return MMSYSERR_NOERROR;
  }
  if (gathered.overflow || gathered.bytes[0] != static_cast<char>(0xF0)) return MMSYSERR_INVALPARAM;
  if (gathered.prepared) midiOutUnprepareHeader(h, &gathered.whole, sizeof(MIDIHDR));
  gathered.whole = MIDIHDR{};
  gathered.whole.lpData = gathered.bytes.data();
  gathered.whole.dwBufferLength = static_cast<DWORD>(gathered.length);
  gathered.prepared = midiOutPrepareHeader(h, &gathered.whole, sizeof(MIDIHDR)) == MMSYSERR_NOERROR;
  gathered.length = 0;
  return midiOutLongMsg(h, &gathered.whole, sizeof(MIDIHDR));
}

void forget_parts(HMIDIOUT h, bool release) {
  std::lock_guard<std::mutex> lock(gathered.mutex);
  gathered.length = 0;
  if (release && gathered.prepared) {
    midiOutUnprepareHeader(h, &gathered.whole, sizeof(MIDIHDR));
    gathered.prepared = false;
  }
}
HMIDIOUT out_of(MidiHandle h) { return static_cast<HMIDIOUT>(h); }
HMIDIIN in_of(MidiHandle h) { return static_cast<HMIDIIN>(h); }

unsigned out_num_devs() { return midiOutGetNumDevs(); }
unsigned in_num_devs() { return midiInGetNumDevs(); }

unsigned out_get_caps(unsigned id, MidiOutCaps* caps) {
  MIDIOUTCAPSA mc;
  std::memset(&mc, 0, sizeof mc);
  const MMRESULT r = midiOutGetDevCapsA(id, &mc, sizeof mc);
  if (r != MMSYSERR_NOERROR) return r;
  std::memcpy(caps->szPname, mc.szPname, kMidiNameSize);
  caps->szPname[kMidiNameSize - 1] = '\0';
  caps->wTechnology = mc.wTechnology;
  caps->vDriverVersion = mc.vDriverVersion;
  return 0;
}

unsigned in_get_caps(unsigned id, MidiInCaps* caps) {
  MIDIINCAPSA mc;
  std::memset(&mc, 0, sizeof mc);
  const MMRESULT r = midiInGetDevCapsA(id, &mc, sizeof mc);
  if (r != MMSYSERR_NOERROR) return r;
  std::memcpy(caps->szPname, mc.szPname, kMidiNameSize);
  caps->szPname[kMidiNameSize - 1] = '\0';
  caps->vDriverVersion = mc.vDriverVersion;
  return 0;
}

unsigned out_open(MidiHandle* handle, unsigned id, MidiCallback callback, uintptr_t instance) {
  out_callback = callback;
  gathered.instance = instance;
  HMIDIOUT h = nullptr;
  const MMRESULT r = midiOutOpen(&h, id, reinterpret_cast<DWORD_PTR>(out_stub), instance,
                                 CALLBACK_FUNCTION);
  if (r == MMSYSERR_NOERROR) *handle = h;
  return r;
}

unsigned in_open(MidiHandle* handle, unsigned id, MidiCallback callback, uintptr_t instance) {
  in_callback = callback;
  HMIDIIN h = nullptr;
  const MMRESULT r = midiInOpen(&h, id, reinterpret_cast<DWORD_PTR>(in_stub), instance,
                                CALLBACK_FUNCTION);
  if (r == MMSYSERR_NOERROR) *handle = h;
  return r;
}

unsigned out_close(MidiHandle h) {
  if (on_wine()) {
    // A gathered message still with winmm comes back before it is released.
    // Only then: a reset also sends notes-off on every channel.
    bool queued = false;
    {
      std::lock_guard<std::mutex> lock(gathered.mutex);
      queued = gathered.prepared && (gathered.whole.dwFlags & MHDR_DONE) == 0;
    }
    if (queued) midiOutReset(out_of(h));
    forget_parts(out_of(h), true);
  }
  return midiOutClose(out_of(h));
}
unsigned in_close(MidiHandle h) { return midiInClose(in_of(h)); }
unsigned out_prepare(MidiHandle h, MidiHdr* hdr) {
  return midiOutPrepareHeader(out_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
unsigned out_unprepare(MidiHandle h, MidiHdr* hdr) {
  return midiOutUnprepareHeader(out_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
unsigned in_prepare(MidiHandle h, MidiHdr* hdr) {
  return midiInPrepareHeader(in_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
unsigned in_unprepare(MidiHandle h, MidiHdr* hdr) {
  return midiInUnprepareHeader(in_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
unsigned out_long_msg(MidiHandle h, MidiHdr* hdr) {
  if (on_wine()) return send_part(out_of(h), hdr_of(hdr));
  return midiOutLongMsg(out_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
unsigned out_reset(MidiHandle h) {
  const unsigned r = midiOutReset(out_of(h));
  if (on_wine()) forget_parts(out_of(h), false);
  return r;
}
unsigned in_add_buffer(MidiHandle h, MidiHdr* hdr) {
  return midiInAddBuffer(in_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
unsigned in_start(MidiHandle h) { return midiInStart(in_of(h)); }
unsigned in_stop(MidiHandle h) { return midiInStop(in_of(h)); }
unsigned in_reset(MidiHandle h) { return midiInReset(in_of(h)); }

unsigned out_error_text(unsigned code, char* text, unsigned size) {
  return midiOutGetErrorTextA(code, text, size);
}
unsigned in_error_text(unsigned code, char* text, unsigned size) {
  return midiInGetErrorTextA(code, text, size);
}

MidiMem mem_alloc(unsigned flags, size_t size) { return GlobalAlloc(flags, size); }
void* mem_lock(MidiMem mem) { return GlobalLock(static_cast<HGLOBAL>(mem)); }
void mem_unlock(MidiMem mem) { GlobalUnlock(static_cast<HGLOBAL>(mem)); }
void mem_free(MidiMem mem) { GlobalFree(static_cast<HGLOBAL>(mem)); }

MidiEvent event_create() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }
void event_set(MidiEvent e) { SetEvent(static_cast<HANDLE>(e)); }
void event_reset(MidiEvent e) { ResetEvent(static_cast<HANDLE>(e)); }
void event_close(MidiEvent e) { CloseHandle(static_cast<HANDLE>(e)); }

unsigned wait_any(unsigned count, const MidiEvent* events, unsigned timeout_ms) {
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return kWaitFailed;
  for (unsigned i = 0; i < count; ++i) handles[i] = static_cast<HANDLE>(events[i]);
  return WaitForMultipleObjects(count, handles, FALSE, timeout_ms);
}

unsigned wait_one(MidiEvent e, unsigned timeout_ms) {
  return WaitForSingleObject(static_cast<HANDLE>(e), timeout_ms);
}

void sleep_ms(unsigned ms) { Sleep(ms); }
long last_error() { return static_cast<long>(GetLastError()); }

constexpr MidiDriver kWinmm = {
    out_num_devs,   in_num_devs,   out_get_caps,  in_get_caps,   out_open,    in_open,
    out_close,      in_close,      out_prepare,   out_unprepare, in_prepare,  in_unprepare,
    out_long_msg,   out_reset,     in_add_buffer, in_start,      in_stop,     in_reset,
    out_error_text, in_error_text, mem_alloc,     mem_lock,      mem_unlock,  mem_free,
    event_create,   event_set,     event_reset,   event_close,   wait_any,    wait_one,
    sleep_ms,       last_error,
};

}  // namespace

const MidiDriver& platform_midi_driver() { return kWinmm; }
