// The serial port in the browser, over Web Serial: the device "COMn" is the
// n-th port the user granted this page (navigator.serial.getPorts()), opened at
// 8N1 without flow control. The port calls are in link/serial_port_web.js; a
// read waits as long as the link asks, and a write at most 10 s in all.
#include <cstring>

#include "link/serial_port.h"

extern "C" {
// link/serial_port_web.js
int xr_serial_open(int port_number, int baud);
int xr_serial_is_open(int handle);
int xr_serial_set_baud(int handle, int baud);
int xr_serial_write(int handle, const unsigned char* data, int length, int timeout_ms);
int xr_serial_read_byte(int handle, unsigned char* byte, int timeout_ms);
int xr_serial_discard(int handle);
void xr_serial_close(int handle);
}

namespace {

constexpr int kWriteTimeoutMs = 10000;  // per write, in all
// A port is opened at the speed every transfer uses; another speed reopens it.
constexpr int kOpenBaud = 38400;

int to_handle(PortHandle port) { return port > 0 && port < 0x7fffffff ? static_cast<int>(port) : 0; }

}  // namespace

// "COM1".."COM4"; any other name is no port of the page's.
PortHandle port_open_device(const char* device, bool* in_use) {
  if (in_use != nullptr) *in_use = false;
  if (device == nullptr || std::strlen(device) != 4 || std::strncmp(device, "COM", 3) != 0 ||
      device[3] < '1' || device[3] > '4') {
    return kInvalidPort;
  }
  const int handle = xr_serial_open(device[3] - '0', kOpenBaud);
  return handle > 0 ? static_cast<PortHandle>(handle) : kInvalidPort;
}

int port_get_state(PortHandle port) {
  const int handle = to_handle(port);
  return handle != 0 && xr_serial_is_open(handle) ? 1 : 0;
}

int port_set_line(PortHandle port, int baud) {
  const int handle = to_handle(port);
  if (handle == 0 || baud <= 0) return 0;
  return xr_serial_set_baud(handle, baud) ? 1 : 0;
}

// The time-outs live in port_read_byte and port_write.
int port_set_timeouts(PortHandle port) { return to_handle(port) != 0 ? 1 : 0; }

int port_write(PortHandle port, const unsigned char* data, int length) {
  const int handle = to_handle(port);
  if (handle == 0 || length < 0) return 0;
  return xr_serial_write(handle, data, length, kWriteTimeoutMs) == 1 ? 1 : 0;
}

int port_read_byte(PortHandle port, unsigned char* byte, int wait_ms) {
  const int handle = to_handle(port);
  if (handle == 0) return -1;
  return xr_serial_read_byte(handle, byte, wait_ms > 0 ? wait_ms : 0);
}

int port_discard_input(PortHandle port) {
  const int handle = to_handle(port);
  return handle != 0 ? xr_serial_discard(handle) : -1;
}

void port_close(PortHandle port) {
  const int handle = to_handle(port);
  if (handle != 0) xr_serial_close(handle);
}
