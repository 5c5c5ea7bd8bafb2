// The serial port on Windows: a COM port by name through the kernel's file and
// communications calls.

#include <windows.h>

#include "link/serial_port.h"

namespace {

HANDLE to_handle(PortHandle port) { return reinterpret_cast<HANDLE>(port); }

}  // namespace

PortHandle port_open_device(const char* device) {
  if (device == nullptr || device[0] == '\0') return kInvalidPort;
  HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidPort;
  return reinterpret_cast<PortHandle>(h);
}

int port_get_state(PortHandle port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  return GetCommState(to_handle(port), &dcb) ? 1 : 0;
}

int port_set_line(PortHandle port, int baud) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(to_handle(port), &dcb)) return 0;
  // Only the line format changes; flow control and the rest stay as found.
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  return SetCommState(to_handle(port), &dcb) ? 1 : 0;
}

int port_set_timeouts(PortHandle port) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 5000;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 10000;
  return SetCommTimeouts(to_handle(port), &timeouts) ? 1 : 0;
}

int port_write(PortHandle port, const unsigned char* data, int length) {
  DWORD written = 0;
  if (!WriteFile(to_handle(port), data, static_cast<DWORD>(length), &written, nullptr)) return 0;
  // A write that runs into its time-out succeeds with fewer bytes: that is a
  // failed send, not a sent message.
  return written == static_cast<DWORD>(length) ? 1 : 0;
}

int port_read_byte(PortHandle port, unsigned char* byte) {
  DWORD got = 0;
  if (!ReadFile(to_handle(port), byte, 1, &got, nullptr)) return -1;
  return got == 1 ? 1 : 0;  // no byte: the 5 s time-out ran out
}

void port_close(PortHandle port) { CloseHandle(to_handle(port)); }
