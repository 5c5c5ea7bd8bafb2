#pragma once
// The MIDI link: a pair of MIDI devices, long messages sent in paced chunks,
// replies caught in two input buffers armed before each send.

#include "support/host.h"

// Opens output `out_id` and input `in_id`. 0 after a message box (nothing left open).
int set_midi(WindowHandle window, int out_id, int in_id);
// The two devices' names and driver versions, for the support log.
const char* get_midi_cfg(int out_id, int in_id);
// Hands both input buffers to the driver and starts input. 0 on failure (logged).
int rx_midi_setbuffer();
// 1 sent; 0 failed (logged); -1 cut short by a stop.
int tx_data_midi(WindowHandle window, const unsigned char* data, int length, int rate);
// 1 reply copied; -1 time-out or no reply; -2 cut short by a stop.
int rx_data_midi(WindowHandle window, unsigned char* dest, int length);
// One 100 ms tick of the receive time-out clock.
void add_midi_time();
// Ends a pending MIDI wait at once (the stop dialog's Abort).
void midi_force_timeout();
void free_midi();
