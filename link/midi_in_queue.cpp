#include "link/midi_in_queue.h"

namespace {

// Takes the first buffer off the queue and hands it back.
void give_back_first(MidiInQueue& q, MidiInGiveBack give_back, void* context,
                     unsigned msg = kMimLongData) {
  if (q.count == 0) return;
  MidiHdr* hdr = q.hdr[0];
  for (int i = 1; i < q.count; ++i) q.hdr[i - 1] = q.hdr[i];
  q.hdr[--q.count] = nullptr;
  hdr->dwFlags = (hdr->dwFlags & ~kMhdrInqueue) | kMhdrDone;
  give_back(hdr, msg, context);
}

// Writes one byte of a system-exclusive message; a full buffer goes back and the
// message goes on in the next. With no buffer left the byte is lost.
void put(MidiInQueue& q, unsigned char byte, MidiInGiveBack give_back, void* context) {
  if (q.count == 0) return;
  MidiHdr* hdr = q.hdr[0];
  hdr->lpData[hdr->dwBytesRecorded++] = static_cast<char>(byte);
  if (hdr->dwBytesRecorded >= hdr->dwBufferLength) give_back_first(q, give_back, context);
}

// Ends the current message: the buffer holding its last bytes goes back, as
// msg (an incomplete message: kMimLongError).
void end_message(MidiInQueue& q, MidiInGiveBack give_back, void* context,
                 unsigned msg = kMimLongData) {
  q.in_sysex = false;
  if (q.count > 0 && q.hdr[0]->dwBytesRecorded > 0) give_back_first(q, give_back, context, msg);
}

}  // namespace

void midi_in_queue_clear(MidiInQueue& q) {
  for (auto& h : q.hdr) h = nullptr;
  q.count = 0;
  q.in_sysex = false;
}

unsigned midi_in_queue_add(MidiInQueue& q, MidiHdr* hdr) {
  if (hdr == nullptr || hdr->lpData == nullptr || hdr->dwBufferLength == 0) return kMmInvalParam;
  if ((hdr->dwFlags & kMhdrPrepared) == 0) return kMidiErrUnprepared;
  if (midi_in_queue_holds(q, hdr)) return kMidiErrStillPlaying;
  if (q.count >= kMidiInQueueSize) return kMmNoMem;
  hdr->dwBytesRecorded = 0;
  hdr->dwFlags = (hdr->dwFlags & ~kMhdrDone) | kMhdrInqueue;
  q.hdr[q.count++] = hdr;
  return kMmNoError;
}

void midi_in_queue_feed(MidiInQueue& q, const unsigned char* bytes, size_t length,
                        MidiInGiveBack give_back, void* context) {
  for (size_t i = 0; i < length; ++i) {
    const unsigned char b = bytes[i];
    if (b >= 0xF8) continue;  // real-time bytes may come at any point and are not kept
    if (b == 0xF0) {
      // An unterminated message ends here, cut short.
      if (q.in_sysex) end_message(q, give_back, context, kMimLongError);
      q.in_sysex = true;
      put(q, b, give_back, context);
    } else if (!q.in_sysex) {
      continue;  // not part of a system-exclusive message
    } else if (b == 0xF7) {
      // The end byte is kept with the message; if it filled its buffer, that
      // buffer has already gone back.
      const bool fills = q.count > 0 && q.hdr[0]->dwBytesRecorded + 1 >= q.hdr[0]->dwBufferLength;
      put(q, b, give_back, context);
      if (fills) {
        q.in_sysex = false;
      } else {
        end_message(q, give_back, context);
      }
    } else if (b >= 0x80) {
      end_message(q, give_back, context, kMimLongError);  // any other status byte cuts it short
    } else {
      put(q, b, give_back, context);
    }
  }
}

void midi_in_queue_stop(MidiInQueue& q, MidiInGiveBack give_back, void* context) {
  end_message(q, give_back, context);
}

void midi_in_queue_reset(MidiInQueue& q, MidiInGiveBack give_back, void* context) {
  q.in_sysex = false;
  while (q.count > 0) give_back_first(q, give_back, context);
}

bool midi_in_queue_holds(const MidiInQueue& q, const MidiHdr* hdr) {
  for (int i = 0; i < q.count; ++i) {
    if (q.hdr[i] == hdr) return true;
  }
  return false;
}
