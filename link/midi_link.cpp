#include "link/midi_link.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "support/printable.h"
#include "support/support_log.h"

const int xferrate_cfg[4][2] = {
    {0, 512},    // Very Fast
    {330, 512},  // Fast
    {330, 256},  // Slow
    {500, 256},  // Very Slow
};

namespace {

constexpr unsigned kBoxStyle = kMbOk | kMbSetForeground;
constexpr int kErrTextSize = 257;
constexpr unsigned char kSysexStart = 0xF0;

// Devices. The callbacks compare their handle with these on the driver's thread.
std::atomic<MidiHandle> hmo{nullptr};
std::atomic<MidiHandle> hmi{nullptr};

// Headers and buffers, each a block of driver memory locked while the link is open.
MidiMem hmhout = nullptr;
MidiHdr* lpmhout = nullptr;
MidiMem hmhin[2] = {nullptr, nullptr};
MidiHdr* lpmhin[2] = {nullptr, nullptr};
MidiMem hExcOut = nullptr;
unsigned char* lpExcOut = nullptr;
MidiMem hExcIn[2] = {nullptr, nullptr};
unsigned char* lpExcIn[2] = {nullptr, nullptr};

// hEvtOut: the output callback's done notice. hEvtWakeUp: the stop.
std::atomic<MidiEvent> hEvtOut{nullptr};
std::atomic<MidiEvent> hEvtWakeUp{nullptr};

std::atomic<int> rxmidi_status{0};
std::atomic<int> timecount{0};

// Set by midi_force_timeout and kept until the next set_midi: a receive that
// begins after the stop still learns of it, without the tick timer.
std::atomic<int> stop_latched{0};
std::atomic<int> hold_through_stop{0};

// A chunk has been queued and its done notice not yet seen: the output header
// and buffer are with the driver.
std::atomic<int> out_in_flight{0};

char midcfg[512];

const MidiDriver& drv() { return midi_driver(); }

void error_box(WindowHandle window, const char* text) {
  message_box(window, text, "Error", kBoxStyle);
}

// Allocates and locks one block; on failure shows the box and releases all.
template <typename T>
int alloc_block(WindowHandle window, unsigned flags, size_t size, MidiMem* mem, T** ptr,
                const char* alloc_text, const char* lock_text) {
  *mem = drv().mem_alloc(flags, size);
  if (*mem == nullptr) {
    error_box(window, alloc_text);
    free_midi_sub();
    return 0;
  }
  *ptr = static_cast<T*>(drv().mem_lock(*mem));
  if (*ptr == nullptr) {
    error_box(window, lock_text);
    free_midi_sub();
    return 0;
  }
  return 1;
}

template <typename T>
void release_block(MidiMem* mem, T** ptr) {
  if (*mem == nullptr) {
    *ptr = nullptr;
    return;
  }
  if (*ptr != nullptr) drv().mem_unlock(*mem);
  *ptr = nullptr;
  drv().mem_free(*mem);
  *mem = nullptr;
}

// Input is stopped and every buffer is back; nothing counts as returned.
void stop_input(MidiHandle in) {
  drv().in_stop(in);
  drv().in_reset(in);
  rxmidi_status = 0;
}

// Gets a chunk still in flight back from the driver: first its own done notice,
// for as long as a chunk takes to go out, then a reset, which hands back
// whatever is queued. A device that has stopped sending costs no more than
// these two short waits. 1 when the header is back.
int recover_output(MidiHandle out) {
  MidiEvent done = hEvtOut;
  if (done == nullptr) {
    drv().out_reset(out);
    return 0;
  }
  if (drv().wait_one(done, kMidiReleaseWaitMs) == kWaitObject0) return 1;
  drv().out_reset(out);
  return drv().wait_one(done, kMidiReleaseWaitMs) == kWaitObject0;
}

}  // namespace

int midi_timecount() { return timecount; }
int midi_rxmidi_status() { return rxmidi_status; }

int midi_link_is_open() {
  return hmo.load() || hmi.load() || hmhout || lpmhout || hmhin[0] || hmhin[1] || hExcOut ||
         hExcIn[0] || hExcIn[1] || hEvtOut.load() || hEvtWakeUp.load();
}

void get_mmresult(unsigned code, char* text, int size) {
  const char* word;
  switch (code) {
    case kMmBadDeviceId: word = "Bad Device ID"; break;
    case kMmAllocated: word = "Allocated"; break;
    case kMmInvalHandle: word = "Invalid Handle"; break;
    case kMmNoMem: word = "Not Enough Memory"; break;
    case kMmInvalFlag: word = "Invalid Flags"; break;
    case kMmInvalParam: word = "Invalid Param"; break;
    case kMidiErrUnprepared: word = "Unprepared"; break;
    case kMidiErrStillPlaying: word = "Still Playing"; break;
    default: word = "Unexpected Error"; break;
  }
  if (text != nullptr && size > 0) std::snprintf(text, static_cast<size_t>(size), "%s", word);
}

const char* get_midi_out_err(unsigned code) {
  static char sz[kErrTextSize];
  sz[0] = '\0';
  drv().out_error_text(code, sz, kErrTextSize);
  sz[kErrTextSize - 1] = '\0';
  return sz;
}

const char* get_midi_in_err(unsigned code) {
  static char sz[kErrTextSize];
  sz[0] = '\0';
  drv().in_error_text(code, sz, kErrTextSize);
  sz[kErrTextSize - 1] = '\0';
  return sz;
}

const char* get_midi_cfg(int out_id, int in_id) {
  MidiOutCaps out_caps;
  MidiInCaps in_caps;
  std::memset(&out_caps, 0, sizeof out_caps);
  std::memset(&in_caps, 0, sizeof in_caps);
  // A negative id names no device: it has no capabilities.
  if (out_id >= 0) drv().out_get_caps(static_cast<unsigned>(out_id), &out_caps);
  if (in_id >= 0) drv().in_get_caps(static_cast<unsigned>(in_id), &in_caps);
  out_caps.szPname[kMidiNameSize - 1] = '\0';
  in_caps.szPname[kMidiNameSize - 1] = '\0';
  const unsigned ov = out_caps.vDriverVersion, iv = in_caps.vDriverVersion;
  // The names are the drivers': shown escaped, as the log takes them.
  const std::string out_name = printable_text(out_caps.szPname), in_name = printable_text(in_caps.szPname);
  std::snprintf(midcfg, sizeof midcfg, "MidiOut  : %s v%d.%d (0x%x)\nMidiIn   : %s v%d.%d (0x%x)",
                out_name.c_str(), static_cast<int>((ov >> 8) & 0xFF), static_cast<int>(ov & 0xFF),
                ov, in_name.c_str(), static_cast<int>((iv >> 8) & 0xFF),
                static_cast<int>(iv & 0xFF), iv);
  return midcfg;
}

int alloc_midihdr(WindowHandle window) {
  for (int i = 0; i < 2; ++i) {
    if (!alloc_block(window, kMidiHdrMemFlags, sizeof(MidiHdr), &hmhin[i], &lpmhin[i],
                     "Not Enough Memory(Alloc MIDIINHDR)", "Not Enough Memory(Lock MIDIINHDR)")) {
      return 0;
    }
  }
  return alloc_block(window, kMidiHdrMemFlags, sizeof(MidiHdr), &hmhout, &lpmhout,
                     "Not Enough Memory(Alloc MIDIOUTHDR)", "Not Enough Memory(Lock MIDIOUTHDR)");
}

int alloc_excbuf(WindowHandle window) {
  for (int i = 0; i < 2; ++i) {
    if (!alloc_block(window, kMidiHdrMemFlags, kMidiExcInSize, &hExcIn[i], &lpExcIn[i],
                     "Not Enough Memory(Alloc ExcIn)", "Not Enough Memory(Lock ExcIn)")) {
      return 0;
    }
  }
  return alloc_block(window, kMidiOutBufMemFlags, kMidiExcOutSize, &hExcOut, &lpExcOut,
                     "Not Enough Memory(Alloc ExcOut)", "Not Enough Memory(Lock ExcOut)");
}

int midi_open(WindowHandle window, int out_id, int in_id) {
  const char* what = "Midi In Open Error : ";
  // A negative id is "no device"; it is refused here rather than handed to the
  // platform, which would take -1 for its MIDI mapper.
  MidiHandle handle = nullptr;
  unsigned code = in_id < 0 ? kMmBadDeviceId
                            : drv().in_open(&handle, static_cast<unsigned>(in_id), MidiInProc, 0);
  if (code == kMmNoError) {
    hmi = handle;
    what = "Midi Out Open Error : ";
    handle = nullptr;
    code = out_id < 0 ? kMmBadDeviceId
                      : drv().out_open(&handle, static_cast<unsigned>(out_id), MidiOutProc, 0);
    if (code == kMmNoError) {
      hmo = handle;
      return 1;
    }
  }
  free_midi_sub();
  char word[32];
  get_mmresult(code, word, sizeof word);
  char text[64];
  std::snprintf(text, sizeof text, "%s%s", what, word);
  write_log_text(text);
  error_box(window, text);
  return 0;
}

int set_midi(WindowHandle window, int out_id, int in_id) {
  free_midi_sub();  // a link left open is released first
  stop_latched = 0;
  hold_through_stop = 0;
  out_in_flight = 0;
  if (!alloc_midihdr(window)) return 0;
  if (!alloc_excbuf(window)) return 0;
  for (int i = 0; i < 2; ++i) {
    lpmhin[i]->lpData = reinterpret_cast<char*>(lpExcIn[i]);
    lpmhin[i]->dwBufferLength = kMidiExcInSize;
  }
  lpmhout->lpData = reinterpret_cast<char*>(lpExcOut);
  lpmhout->dwBufferLength = kMidiExcOutSize;
  if (!midi_open(window, out_id, in_id)) return 0;
  const MidiDriver& d = drv();
  d.in_reset(hmi);
  d.in_prepare(hmi, lpmhin[0]);
  d.in_prepare(hmi, lpmhin[1]);
  d.out_prepare(hmo, lpmhout);
  hEvtWakeUp = d.event_create();
  hEvtOut = d.event_create();
  rxmidi_status = 0;
  return 1;
}

namespace {

// Gives both input buffers to the driver afresh and starts the input. With
// `discarded`, the bytes the buffers had recorded since they were last armed
// are counted there: they came before the request. 1 on success.
int arm_input(int* discarded) {
  const MidiDriver& d = drv();
  MidiHandle in = hmi;
  if (in == nullptr || lpmhin[0] == nullptr || lpmhin[1] == nullptr) {
    write_log("Midi In Error : Failed to add buffer to driver (%s)", get_midi_in_err(kMmInvalHandle));
    return 0;
  }
  d.in_reset(in);  // every buffer is back, its count final
  if (discarded != nullptr) {
    *discarded = 0;
    for (auto* hdr : lpmhin) *discarded += static_cast<int>(std::min<uint32_t>(hdr->dwBytesRecorded, kMidiExcInSize));
  }
  for (int i = 0; i < 2; ++i) {
    lpExcIn[i][0] = 0;
    lpmhin[i]->dwBufferLength = kMidiExcInSize;
    lpmhin[i]->dwBytesRecorded = 0;
    const unsigned code = d.in_add_buffer(in, lpmhin[i]);
    if (code != kMmNoError) {
      write_log("Midi In Error : Failed to add buffer to driver (%s)", get_midi_in_err(code));
      return 0;
    }
  }
  rxmidi_status = 0;
  d.in_start(in);
  return 1;
}

}  // namespace

int rx_midi_setbuffer() { return arm_input(nullptr); }

int tx_data_midi(WindowHandle /*window*/, const unsigned char* data, int length, int rate) {
  const MidiDriver& d = drv();
  MidiHandle out = hmo;
  if (out == nullptr || lpmhout == nullptr || lpExcOut == nullptr) {
    write_log("Midi Out Error : Failed to send sysex (%s).", get_midi_out_err(kMmInvalHandle));
    return 0;
  }
  // A chunk that never completed is still the driver's: its buffer is not touched.
  if (out_in_flight) {
    MidiEvent done = hEvtOut;
    if (done == nullptr || d.wait_one(done, 0) != kWaitObject0) {
      write_log("Midi Out Error : Timed out waiting for MOM_DONE notification from driver.");
      return 0;
    }
    out_in_flight = 0;
  }
  rate = std::min(std::max(rate, 0), 3);
  const int pause = xferrate_cfg[rate][0];
  const int chunk_size = xferrate_cfg[rate][1];
  const MidiEvent waits[2] = {hEvtWakeUp, hEvtOut};

  for (int offset = 0; offset < length;) {
    // Nothing more goes out once a stop has been asked for.
    if (stop_latched) return -1;
    const int n = std::min(length - offset, chunk_size);
    std::memcpy(lpExcOut, data + offset, static_cast<size_t>(n));
    lpmhout->dwBufferLength = static_cast<uint32_t>(n);
    if (lpmhout->dwFlags & kMhdrDone) {
      const unsigned code = d.out_prepare(out, lpmhout);
      if (code != kMmNoError) {
        write_log("Midi Out Error : Failed to prepare output buffer for re-use (%s)",
                  get_midi_out_err(code));
        return 0;
      }
    }
    if (offset + n == length && hmi.load() != nullptr) {
      // One request, one reply: the instrument answers only once the last chunk
      // is out, so whatever the input caught before it (a reply sent twice, or
      // one that came after its time-out) answers no request of this one's.
      int discarded = 0;
      if (!arm_input(&discarded)) return 0;
      if (discarded > 0) write_log("Discarded %d bytes received before the request", discarded);
    }
    for (int attempt = 0; attempt < kMidiBusyAttempts; ++attempt) {
      d.event_reset(waits[1]);
      const unsigned code = d.out_long_msg(out, lpmhout);
      if (code == kMmNoError) {
        out_in_flight = 1;
        break;
      }
      if (code != kMidiErrNotReady) {
        write_log("Midi Out Error : Failed to send sysex (%s).", get_midi_out_err(code));
        return 0;
      }
      write_log("Midi Out Warning : Failed to send sysex, device is busy. Retry #%d", attempt);
      d.sleep_ms(kMidiBusySleepMs);
    }
    // After ten refusals nothing is in flight and this wait runs out.
    const unsigned result = d.wait_any(2, waits, kMidiDoneWaitMs);
    if (result == kWaitObject0) return -1;
    if (result == kWaitTimeout) {
      write_log("Midi Out Error : Timed out waiting for MOM_DONE notification from driver.");
      return 0;
    }
    if (result != kWaitObject0 + 1) {
      write_log("Wait failed in tx_data_midi (Error=%ld)", d.last_error());
      return 0;
    }
    out_in_flight = 0;
    if (pause != 0) d.wait_one(waits[0], static_cast<unsigned>(pause));
    offset += n;
  }
  return 1;
}

int rx_data_midi(WindowHandle /*window*/, unsigned char* dest, int length, int* received) {
  const MidiDriver& d = drv();
  const int n = std::min(std::max(length, 0), kMidiExcInSize);
  if (received != nullptr) *received = 0;
  timecount = 0;
  MidiHandle in = hmi;
  if (in == nullptr || lpExcIn[0] == nullptr || lpExcIn[1] == nullptr) {
    return stop_latched ? -2 : -1;
  }
  // A receive held through a stop counts its own time-out in its polls, since
  // the tick timer does not run while the stop is waited for.
  const bool held = hold_through_stop != 0;
  int held_waited_ms = 0;
  int i = 0;
  for (;;) {
    if (rxmidi_status > i) {
      if (lpExcIn[i][0] == kSysexStart) break;
      ++i;
      if (i >= 2) {
        stop_input(in);
        return -1;
      }
      if (lpExcIn[1][0] == kSysexStart) break;  // taken whether or not it has come back
    }
    if (held) {
      if (held_waited_ms >= kMidiTimeoutTicks * 100) {
        stop_input(in);
        return -1;
      }
      d.sleep_ms(kMidiPollMs);
      held_waited_ms += kMidiPollMs;
      continue;
    }
    const int ticks = timecount;
    if (ticks >= kMidiTimeoutTicks || stop_latched) {
      stop_input(in);
      return (ticks >= kMidiStopMark || stop_latched) ? -2 : -1;
    }
    d.sleep_ms(kMidiPollMs);
  }
  d.in_stop(in);
  d.in_reset(in);  // every buffer is back before the copy, its count final
  // A reply is what arrived in this receive: the buffer's older bytes beyond the
  // recorded count are not part of it.
  const int recorded = static_cast<int>(std::min<uint32_t>(lpmhin[i]->dwBytesRecorded, kMidiExcInSize));
  const int got = std::min(n, recorded);
  if (got > 0) std::memcpy(dest, lpExcIn[i], static_cast<size_t>(got));
  if (n > got) std::memset(dest + got, 0, static_cast<size_t>(n - got));
  if (received != nullptr) *received = got;
  rxmidi_status = 0;
  return 1;
}

void add_midi_time() { timecount.fetch_add(1); }

void midi_force_timeout() {
  stop_latched = 1;
  timecount = kMidiStopMark;
  MidiEvent wake = hEvtWakeUp;
  if (wake != nullptr) drv().event_set(wake);
}

void midi_hold_through_stop(int on) { hold_through_stop = on ? 1 : 0; }

void free_midi_sub() {
  const MidiDriver& d = drv();
  // A chunk still with the driver keeps the output header and buffer; they are
  // released only once it is back.
  bool out_held = false;
  if (MidiHandle out = hmo) {
    if (out_in_flight && lpmhout != nullptr) out_held = !recover_output(out);
    out_in_flight = 0;
    if (lpmhout != nullptr) d.out_unprepare(out, lpmhout);
    d.out_close(out);
    hmo = nullptr;
  }
  if (MidiHandle in = hmi) {
    d.in_reset(in);  // every input buffer comes back before the reset returns
    for (auto* hdr : lpmhin) {
      if (hdr != nullptr) d.in_unprepare(in, hdr);
    }
    d.in_close(in);
    hmi = nullptr;
  }
  if (out_held) {
    // Never handed back: the memory is left to the driver rather than freed under it.
    hExcOut = nullptr;
    lpExcOut = nullptr;
    hmhout = nullptr;
    lpmhout = nullptr;
  }
  release_block(&hExcOut, &lpExcOut);
  release_block(&hmhout, &lpmhout);
  for (int i = 0; i < 2; ++i) {
    release_block(&hExcIn[i], &lpExcIn[i]);
    release_block(&hmhin[i], &lpmhin[i]);
  }
  if (MidiEvent wake = hEvtWakeUp.exchange(nullptr)) d.event_close(wake);
  if (MidiEvent done = hEvtOut.exchange(nullptr)) d.event_close(done);
  rxmidi_status = 0;
}

void free_midi() { free_midi_sub(); }

void MidiOutProc(MidiHandle handle, unsigned msg, uintptr_t, uintptr_t, uintptr_t) {
  if (handle == nullptr || handle != hmo.load() || msg != kMomDone) return;
  MidiEvent done = hEvtOut;
  if (done != nullptr) midi_driver().event_set(done);
}

// A buffer comes back with kMimLongData, or with kMimLongError when its message
// was cut short; either way it is back and is counted, so that the count keeps
// naming the buffers in the order the driver returns them.
void MidiInProc(MidiHandle handle, unsigned msg, uintptr_t, uintptr_t, uintptr_t) {
  if (handle == nullptr || handle != hmi.load()) return;
  if (msg != kMimLongData && msg != kMimLongError) return;
  rxmidi_status.fetch_add(1);
}
