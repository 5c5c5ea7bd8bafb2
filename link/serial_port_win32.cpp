// The serial port on Windows: a COM port by name through the kernel's file and
// communications calls.

#include <windows.h>

#include "link/serial_port.h"

namespace {

HANDLE to_handle(PortHandle port) { return reinterpret_cast<HANDLE>(port); }

constexpr DWORD kReadTimeoutMs = 5000;
constexpr DWORD kWriteTimeoutMs = 10000;

// The read time-out now set on the open port: a receive waits in short slices
// so that a stop is seen at once, and the time-out is set anew only when the
// slice changes.
DWORD g_read_timeout = kReadTimeoutMs;

int set_timeouts(HANDLE port, DWORD read_ms) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = read_ms;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
  if (!SetCommTimeouts(port, &timeouts)) return 0;
  g_read_timeout = read_ms;
  return 1;
}

}  // namespace

PortHandle port_open_device(const char* device, bool* in_use) {
  if (in_use != nullptr) *in_use = false;
  if (device == nullptr || device[0] == '\0') return kInvalidPort;
  HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // A COM port another program has open is refused with "access denied".
    const DWORD error = GetLastError();
    if (in_use != nullptr) *in_use = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    return kInvalidPort;
  }
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
  if (!SetCommState(to_handle(port), &dcb)) return 0;
  // Bytes that were waiting before this open belong to an earlier exchange
  // (a reply that came after its time-out).
  PurgeComm(to_handle(port), PURGE_RXCLEAR);
  return 1;
}

int port_set_timeouts(PortHandle port) { return set_timeouts(to_handle(port), kReadTimeoutMs); }

int port_write(PortHandle port, const unsigned char* data, int length) {
  DWORD written = 0;
  if (!WriteFile(to_handle(port), data, static_cast<DWORD>(length), &written, nullptr)) return 0;
  // A write that runs into its time-out succeeds with fewer bytes: that is a
  // failed send, not a sent message.
  return written == static_cast<DWORD>(length) ? 1 : 0;
}

int port_read_byte(PortHandle port, unsigned char* byte, int wait_ms) {
  // A zero constant with no interval time-out would wait for ever: 1 ms at least.
  const DWORD wait = wait_ms > 0 ? static_cast<DWORD>(wait_ms) : 1;
  // A port that takes no new time-out reads with the one it has.
  if (wait != g_read_timeout) set_timeouts(to_handle(port), wait);
  DWORD got = 0;
  if (!ReadFile(to_handle(port), byte, 1, &got, nullptr)) return -1;
  return got == 1 ? 1 : 0;  // no byte: the wait ran out
}

int port_discard_input(PortHandle port) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(to_handle(port), &errors, &status)) return -1;
  const int waiting = static_cast<int>(status.cbInQue);
  if (waiting > 0 && !PurgeComm(to_handle(port), PURGE_RXCLEAR)) return -1;
  return waiting;
}

void port_close(PortHandle port) { CloseHandle(to_handle(port)); }
