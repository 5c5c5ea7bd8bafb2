#pragma once
// The port calls behind the serial link, one OS file each
// (serial_port_win32.cpp, serial_port_posix.cpp).

#include <cstdint>

using PortHandle = intptr_t;
constexpr PortHandle kInvalidPort = -1;

// Opens the serial device named `device` ("COM3" on Windows, a device path on
// Linux) for reading and writing, exclusively. kInvalidPort on failure;
// *in_use (when given) then tells whether another program holds the device.
PortHandle port_open_device(const char* device, bool* in_use = nullptr);
// Opens COM<n> (1..4): the device behind that port (Linux: the settings'
// Com<n>Device; Windows: "COM<n>"). kInvalidPort on failure.
PortHandle port_open(int port_number);
// Reads the line state (GetCommState). 1 on success.
int port_get_state(PortHandle port);
// 8 data bits, no parity, one stop bit at `baud` (SetCommState). 1 on success.
int port_set_line(PortHandle port, int baud);
// 5 s per-byte read time-out, 10 s total write time-out. Result ignored by the link.
int port_set_timeouts(PortHandle port);
// Writes all bytes; 1 when the platform accepted every one of them.
int port_write(PortHandle port, const unsigned char* data, int length);
// Reads one byte, waiting at most wait_ms for it: 1 a byte, 0 none came in
// that time, -1 the read failed.
int port_read_byte(PortHandle port, unsigned char* byte, int wait_ms);
// Throws away whatever has come in and not been read; the number of bytes
// thrown away, or -1 when the port cannot be read.
int port_discard_input(PortHandle port);
void port_close(PortHandle port);
