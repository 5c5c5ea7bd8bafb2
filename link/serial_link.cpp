#include "link/serial_link.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "link/serial_port.h"
#include "link/serial_reply.h"
#include "support/support_log.h"

namespace {

using Clock = std::chrono::steady_clock;

// The open port; kInvalidPort while closed. Set on the main thread before the
// transfer thread starts and closed after its last use, so it needs no lock.
PortHandle hCommDev = kInvalidPort;

constexpr unsigned kOpenErrorStyle = kMbOk | kMbSetForeground;

// A reply must be whole within 5 s of the receive's start and its own time on
// the line (16 bytes of 10 bits at the port's speed), and a silent line ends
// it after 5 s without a byte: a line that keeps sending bytes that are no
// reply (noise, a modem, a wrong baud rate) cannot hold the transfer.
constexpr int kReplyTimeoutMs = 5000;
constexpr int kByteTimeoutMs = 5000;
constexpr int kReplyBits = 16 * 10;
// The whole-reply bound at the speed the port was opened at.
int reply_bound_ms = kReplyTimeoutMs;
// How often a waiting receive looks for a stop.
constexpr int kStopPollMs = 10;

// Set by comm_force_stop, cleared by set_comm; read by the transfer thread.
std::atomic<int> stop_latched{0};
std::atomic<int> hold_through_stop{0};

int ms_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// What an open that failed tells: its box, and the same words for the caller.
struct OpenFailure {
  WindowHandle window;
  std::string* why;
  void tell(const char* text, const char* detail = nullptr) const {
    if (why != nullptr) *why = detail != nullptr ? std::string(text) + ": " + detail : text;
    message_box(window, text, nullptr, kOpenErrorStyle);
  }
};

int open_port(const OpenFailure& failure, PortHandle opened, bool in_use, int baud) {
  stop_latched = 0;
  hold_through_stop = 0;
  reply_bound_ms = kReplyTimeoutMs + (baud > 0 ? (kReplyBits * 1000 + baud - 1) / baud : 0);
  hCommDev = opened;
  if (hCommDev == kInvalidPort) {
    // Another copy that took the port between a check and this open is told apart.
    failure.tell("Comm Port Open Error!(CreateFile)", in_use ? "the port is in use by another program" : nullptr);
    return 0;
  }
  if (!port_get_state(hCommDev)) {
    failure.tell("Comm Port Open Error!(GetCommState)");
    port_close(hCommDev);
    hCommDev = kInvalidPort;
    return 0;
  }
  if (!port_set_line(hCommDev, baud)) {
    failure.tell("Comm Port Open Error!(SetCommState)");
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
  return open_port(OpenFailure{window, nullptr}, port_open(port_number), false, baud);
}

int set_comm_device(WindowHandle window, const char* device, int baud, std::string* why) {
  bool in_use = false;
  const PortHandle opened = port_open_device(device, &in_use);
  return open_port(OpenFailure{window, why}, opened, in_use, baud);
}

int tx_data_comm(WindowHandle, const unsigned char* data, int length) {
  if (hCommDev == kInvalidPort || length < 0) return 0;
  // One request, one reply: whatever waits on the line now (a reply sent twice,
  // or one that came after its time-out) answers no request of this one's.
  const int discarded = port_discard_input(hCommDev);
  if (discarded > 0) write_log("Discarded %d bytes received before the request", discarded);
  return port_write(hCommDev, data, length) ? 1 : 0;
}

// Reads one byte at a time by the serial reply rules (link/serial_reply.h),
// within the reply's and the byte's time-outs, and stops at once on a stop.
int rx_data_comm(WindowHandle, unsigned char* dest, int length, int* received) {
  if (received != nullptr) *received = 0;
  if (length < 1) return 0;  // no room for even the start byte
  SerialReply reply;
  serial_reply_begin(&reply, dest, length);
  const Clock::time_point reply_deadline = Clock::now() + std::chrono::milliseconds(reply_bound_ms);
  Clock::time_point byte_deadline = Clock::now() + std::chrono::milliseconds(kByteTimeoutMs);
  for (;;) {
    if (stop_latched && !hold_through_stop) return -2;
    const int left = std::min(ms_until(reply_deadline), ms_until(byte_deadline));
    if (left == 0) return -1;
    unsigned char byte = 0;
    const int got = port_read_byte(hCommDev, &byte, std::min(left, kStopPollMs));
    if (got < 0) return 0;
    if (got == 0) continue;
    byte_deadline = Clock::now() + std::chrono::milliseconds(kByteTimeoutMs);
    const SerialReplyStep step = serial_reply_feed(&reply, byte);
    if (step == kReplyZeroBeforeStart) return -1;
    if (step == kReplyComplete) {
      if (received != nullptr) *received = reply.stored;
      return 1;
    }
  }
}

void comm_force_stop() { stop_latched = 1; }

void comm_hold_through_stop(int on) { hold_through_stop = on ? 1 : 0; }

void free_comm() {
  if (hCommDev == kInvalidPort) return;
  port_close(hCommDev);
  hCommDev = kInvalidPort;
}

int comm_is_open() { return hCommDev != kInvalidPort ? 1 : 0; }
