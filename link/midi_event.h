#pragma once
// Manual-reset events and waits on them, portable (std::condition_variable),
// for MIDI drivers that have no platform events of their own.

#include "link/midi_driver.h"

MidiEvent midi_event_create();
void midi_event_set(MidiEvent event);
void midi_event_reset(MidiEvent event);
void midi_event_close(MidiEvent event);
// kWaitObject0 + the index of the first signalled event in the list, or
// kWaitTimeout; kWaitFailed for a null event. 0xFFFFFFFF waits without end.
unsigned midi_event_wait_any(unsigned count, const MidiEvent* events, unsigned timeout_ms);
unsigned midi_event_wait_one(MidiEvent event, unsigned timeout_ms);
