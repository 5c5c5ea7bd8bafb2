#pragma once
// The serial link: COM1 to COM4 at 8N1, a message written as one byte stream,
// the reply read one byte at a time up to its end byte.

#include "support/host.h"

// Probes COM1..COM4: status[n-1] is 1 when port n opened and its state could be read.
void check_comm(unsigned char status[4]);
// Opens and sets up port 1..4 at `baud`. 0 after a message box (port closed).
int set_comm(WindowHandle window, int port_number, int baud);
// The same for the serial device named `device` (see port_open_device).
int set_comm_device(WindowHandle window, const char* device, int baud);
// 1 when the whole write was accepted, 0 when it failed.
int tx_data_comm(WindowHandle window, const unsigned char* data, int length);
// 1 message stored from its F0; -1 no byte within the time-out (or 0x00 before
// the start); 0 the read failed.
int rx_data_comm(WindowHandle window, unsigned char* dest, int length);
void free_comm();
// 1 while the port is open.
int comm_is_open();
