#pragma once
// The input buffers a driver holds, and their filling from the bytes that come
// in: a system-exclusive message is written from its F0 on into the first
// buffer; a message longer than a buffer goes on into the next one. Every other
// message, and bytes outside a system-exclusive message, are not put into
// buffers. Used by drivers that get a plain byte stream (ALSA rawmidi, tests).

#include <cstddef>

#include "link/midi_driver.h"

constexpr int kMidiInQueueSize = 8;

struct MidiInQueue {
  MidiHdr* hdr[kMidiInQueueSize];
  int count;
  bool in_sysex;  // between an F0 and the end of its message
};

// Called for each buffer handed back, with kMhdrDone set and dwBytesRecorded
// the number of bytes written. msg is kMimLongError for a buffer whose message
// was cut short (by a status byte or a new F0), as a winmm driver reports an
// incomplete system-exclusive message; kMimLongData for every other buffer.
using MidiInGiveBack = void (*)(MidiHdr* hdr, unsigned msg, void* context);

void midi_in_queue_clear(MidiInQueue& q);
// Puts hdr at the end of the queue with nothing recorded: 0, or
// kMidiErrUnprepared, kMmInvalParam (no buffer) or kMmNoMem (queue full).
unsigned midi_in_queue_add(MidiInQueue& q, MidiHdr* hdr);
// Writes incoming bytes into the queued buffers.
void midi_in_queue_feed(MidiInQueue& q, const unsigned char* bytes, size_t length,
                        MidiInGiveBack give_back, void* context);
// Input stops: a buffer that holds part of a message comes back; empty ones stay.
void midi_in_queue_stop(MidiInQueue& q, MidiInGiveBack give_back, void* context);
// Every buffer comes back, in queue order.
void midi_in_queue_reset(MidiInQueue& q, MidiInGiveBack give_back, void* context);
// Whether hdr is still queued.
bool midi_in_queue_holds(const MidiInQueue& q, const MidiHdr* hdr);
