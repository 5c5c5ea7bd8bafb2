#include "link/serial_link.h"

#include "link/serial_port.h"

namespace {

// The open port; kInvalidPort while closed. Set on the main thread before the
// transfer thread starts and closed after its last use, so it needs no lock.
PortHandle hCommDev = kInvalidPort;

constexpr unsigned kOpenErrorStyle = kMbOk | kMbSetForeground;

constexpr unsigned char kStartOfMessage = 0xF0;
constexpr unsigned char kEndOfMessage = 0xF7;
constexpr unsigned char kTimingClock = 0xF8;
constexpr unsigned char kSystemReset = 0xFF;

void open_error(WindowHandle window, const char* text) {
  message_box(window, text, nullptr, kOpenErrorStyle);
}

int open_port(WindowHandle window, PortHandle opened, int baud) {
  hCommDev = opened;
  if (hCommDev == kInvalidPort) {
    open_error(window, "Comm Port Open Error!(CreateFile)");
    return 0;
  }
  if (!port_get_state(hCommDev)) {
    open_error(window, "Comm Port Open Error!(GetCommState)");
    port_close(hCommDev);
    hCommDev = kInvalidPort;
    return 0;
  }
  if (!port_set_line(hCommDev, baud)) {
    open_error(window, "Comm Port Open Error!(SetCommState)");
    port_close(hCommDev);
    hCommDev = kInvalidPort;
    return 0;
  }
  port_set_timeouts(hCommDev);  // a failure here goes unnoticed
  return 1;
}

}  // namespace

void check_comm(unsigned char status[4]) {
  for (int n = 1; n <= 4; ++n) {
    status[n - 1] = 0;
    PortHandle probe = port_open(n);
    if (probe == kInvalidPort) continue;
    if (port_get_state(probe)) status[n - 1] = 1;
    port_close(probe);
  }
}

int set_comm(WindowHandle window, int port_number, int baud) {
  return open_port(window, port_open(port_number), baud);
}

int set_comm_device(WindowHandle window, const char* device, int baud) {
  return open_port(window, port_open_device(device), baud);
}

int tx_data_comm(WindowHandle, const unsigned char* data, int length) {
  if (hCommDev == kInvalidPort || length < 0) return 0;
  return port_write(hCommDev, data, length) ? 1 : 0;
}

// Reads one byte at a time into dest[i]. Before the start of a message every
// byte but 0xF0 is dropped (a 0x00 ends the wait with -1); inside it 0xF8 and
// 0xFF are dropped, 0xF7 is stored and ends it, anything else is stored. A
// dropped byte is overwritten by the next read at the same position.
int rx_data_comm(WindowHandle, unsigned char* dest, int length) {
  if (length < 1) return 0;  // no room for even the start byte
  int i = 0;
  for (;;) {
    int got = port_read_byte(hCommDev, &dest[i]);
    if (got < 0) return 0;
    if (got == 0) return -1;
    unsigned char byte = dest[i];
    if (i == 0) {
      if (byte == 0x00) return -1;
      if (byte != kStartOfMessage) continue;
    }
    if (byte == kEndOfMessage) return 1;
    if (byte == kTimingClock || byte == kSystemReset) continue;
    if (++i >= length) return 1;
  }
}

void free_comm() {
  if (hCommDev == kInvalidPort) return;
  port_close(hCommDev);
  hCommDev = kInvalidPort;
}

int comm_is_open() { return hCommDev != kInvalidPort ? 1 : 0; }
