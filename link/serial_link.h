#pragma once
// The serial link: COM1 to COM4 at 8N1, a message written as one byte stream,
// the reply read one byte at a time up to its end byte.

#include <string>

#include "support/host.h"

// Probes COM1..COM4: status[n-1] is 1 when port n opened and its state could be read.
void check_comm(unsigned char status[4]);
// Opens and sets up port 1..4 at `baud`. 0 after a message box (port closed).
int set_comm(WindowHandle window, int port_number, int baud);
// The same for the serial device named `device` (see port_open_device).
// *why (when given) tells what failed: the box's text, and for a device
// another program holds, that it is in use.
int set_comm_device(WindowHandle window, const char* device, int baud, std::string* why = nullptr);
// Discards what waits unread on the line (logged when there was any), then
// writes the message. 1 when the whole write was accepted, 0 when it failed.
int tx_data_comm(WindowHandle window, const unsigned char* data, int length);
// 1 message stored from its F0 (*received, when given, is how many bytes were
// stored); -1 no whole message within 5 s of the call and the reply's own time
// on the line at the port's speed, whatever bytes came
// meanwhile (or 0x00 before the start); 0 the read failed; -2 cut short by a
// stop (comm_force_stop).
int rx_data_comm(WindowHandle window, unsigned char* dest, int length, int* received = nullptr);
// Ends a pending receive at once (the stop dialog's Abort, a signal). The stop
// holds until the next set_comm: a receive that begins after it ends with -2.
void comm_force_stop();
// While on, a receive runs to its reply or its time-out even after a stop: the
// reply to the last data packet tells how the update really ended.
void comm_hold_through_stop(int on);
void free_comm();
// 1 while the port is open.
int comm_is_open();
