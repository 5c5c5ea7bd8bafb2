#pragma once
// The Web MIDI driver's entry for incoming bytes: the page's MIDI input events
// are handed to the open input device here (link/midi_driver_web.js calls it).

extern "C" {
// Where the page puts the bytes of one input event before calling
// xr_midi_input; at most xr_midi_input_room() bytes at a time.
unsigned char* xr_midi_input_buffer();
int xr_midi_input_room();
// `length` bytes for the input device opened as `tag` (0 for input devices
// that are no longer open: the bytes are dropped).
void xr_midi_input(int tag, int length);
}
