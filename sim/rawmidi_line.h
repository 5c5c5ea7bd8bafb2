#pragma once
// An ALSA raw MIDI device as the instrument's line: the simulated instrument
// behind a MIDI port (a USB-MIDI interface, or a port of the kernel's virtual
// MIDI card joined to the program's port through the sequencer).

#include <cstddef>
#include <string>

// Opens "hw:CARD,DEVICE" or "hw:CARD,DEVICE,SUBDEVICE" for both directions,
// non-blocking, with an input buffer of `input_buffer` bytes (a reader that keeps
// up with every transfer rate). The descriptor, or -1 with `error` filled.
int rawmidi_line_open(const char* name, size_t input_buffer, std::string* error);
// Waits until the bytes written have gone out of the device's buffer.
void rawmidi_line_drain(int fd);
