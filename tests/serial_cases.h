#pragma once
// Serial link cases run on both platforms: on Linux over a pseudo-terminal
// served by the simulated instrument in a thread, on Windows over COM1, which
// Wine maps to a pseudo-terminal served by xrsim. The port is open (set_comm)
// before each case, and each case leaves nothing unread on the line.
//
// The instrument's test message (sim_say_message) makes it send exact bytes,
// noise and all, so each case controls what arrives.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "engine/device_protocol.h"
#include "link/serial_link.h"
#include "sim/instrument.h"
#include "tests/test_support.h"

namespace serial_cases {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr unsigned char kSentinel = 0xAA;

inline void send(const Bytes& message) {
  ASSERT_EQ(1, tx_data_comm(nullptr, message.data(), static_cast<int>(message.size())));
}

// Makes the instrument send `bytes` exactly.
inline void say(const Bytes& bytes) { send(sim_say_message(bytes)); }

struct Received {
  int result = 0;
  Bytes buffer;  // the whole destination, sentinel-filled beyond what was stored
};

inline Received receive(int length) {
  Received r;
  r.buffer.assign(static_cast<size_t>(length) + 8, kSentinel);
  r.result = rx_data_comm(nullptr, r.buffer.data(), length);
  return r;
}

// a followed by b.
inline Bytes cat(const Bytes& a, const Bytes& b) {
  Bytes joined;
  joined.reserve(a.size() + b.size());
  joined.insert(joined.end(), a.begin(), a.end());
  joined.insert(joined.end(), b.begin(), b.end());
  return joined;
}

inline Bytes head(const Received& r, size_t n) { return Bytes(r.buffer.begin(), r.buffer.begin() + n); }

const Bytes kStatusOk = {0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7};

inline void version_exchange() {
  send({0xF0, 0x42, 0x23, 0x58, 0x00, 0xF7});
  Received r = receive(16);
  ASSERT_EQ(1, r.result);
  Bytes expected(16, 0x00);
  const unsigned char start[] = {0xF0, 0x42, 0x23, 0x58, 0x01};
  std::memcpy(expected.data(), start, sizeof start);
  expected[6] = expected[8] = expected[10] = 0x01;  // 1.00 three times
  expected[15] = 0xF7;
  EXPECT_EQ(expected, head(r, 16));
  EXPECT_EQ(kSentinel, r.buffer[16]);
}

inline void noise_before_start_skipped() {
  const Bytes line = cat(Bytes{0xFE, 0xF8, 0xF7, 0x12, 0x7F, 0x80, 0xFF}, kStatusOk);
  say(line);
  Received r = receive(16);
  ASSERT_EQ(1, r.result);
  EXPECT_EQ(kStatusOk, head(r, 7));
  EXPECT_EQ(kSentinel, r.buffer[7]);
}

inline void zero_before_start_ends_wait() {
  const Bytes line = cat(Bytes{0x12, 0x00}, kStatusOk);
  say(line);
  EXPECT_EQ(-1, receive(16).result);
  // The message behind the 0x00 is still on the line.
  Received next = receive(16);
  ASSERT_EQ(1, next.result);
  EXPECT_EQ(kStatusOk, head(next, 7));
}

inline void zero_inside_stored() {
  const Bytes reply = {0xF0, 0x42, 0x00, 0x58, 0x03, 0x00, 0xF7};
  say(reply);
  Received r = receive(16);
  ASSERT_EQ(1, r.result);
  EXPECT_EQ(reply, head(r, 7));
}

inline void clock_and_reset_inside_dropped() {
  say({0xF0, 0x42, 0xF8, 0x23, 0xFF, 0x58, 0x03, 0xFE, 0x00, 0xF8, 0xF7});
  Received r = receive(16);
  ASSERT_EQ(1, r.result);
  // 0xFE and 0x00 are data; 0xF8 and 0xFF vanish and their neighbours close up.
  EXPECT_EQ((Bytes{0xF0, 0x42, 0x23, 0x58, 0x03, 0xFE, 0x00, 0xF7}), head(r, 8));
  EXPECT_EQ(kSentinel, r.buffer[8]);
}

inline void long_reply_cut_and_rest_dropped() {
  Bytes twenty = {0xF0, 0x42, 0x23, 0x58, 0x01};
  for (int i = 5; i < 19; ++i) twenty.push_back(static_cast<unsigned char>(0x10 + i));
  twenty.push_back(0xF7);
  ASSERT_EQ(20u, twenty.size());
  Bytes line = twenty;
  line.insert(line.end(), kStatusOk.begin(), kStatusOk.end());
  say(line);
  Received first = receive(16);
  ASSERT_EQ(1, first.result);
  EXPECT_EQ(Bytes(twenty.begin(), twenty.begin() + 16), head(first, 16));
  EXPECT_EQ(kSentinel, first.buffer[16]);
  // The reply's last four bytes are dropped while the next start is awaited.
  Received second = receive(16);
  ASSERT_EQ(1, second.result);
  EXPECT_EQ(kStatusOk, head(second, 7));
}

// A reply still on the line when the next request goes out (here the second of
// two the instrument sent) is thrown away first: the request gets its own reply.
inline void reply_waiting_before_a_request_is_discarded() {
  say(cat(kStatusOk, Bytes{0xF0, 0x42, 0x23, 0x58, 0x03, 0x05, 0xF7}));
  Received first = receive(16);
  ASSERT_EQ(1, first.result);
  EXPECT_EQ(kStatusOk, head(first, 7));  // the second came in the same write: it waits now
  version_exchange();
}

inline void silence_times_out() {
  say({0xF0, 0x42, 0x23});  // a reply that stops short
  const Clock::time_point start = Clock::now();
  Received r = receive(16);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_EQ(-1, r.result);
  EXPECT_GE(waited.count(), 4900);
  EXPECT_LT(waited.count(), 8000);
  // What arrived before the silence stays in the destination.
  EXPECT_EQ((Bytes{0xF0, 0x42, 0x23}), head(r, 3));
}

inline void free_twice() {
  ASSERT_EQ(1, comm_is_open());
  free_comm();
  EXPECT_EQ(0, comm_is_open());
  free_comm();
  EXPECT_EQ(0, comm_is_open());
  // A closed link neither sends nor receives.
  const unsigned char byte = 0xF0;
  EXPECT_EQ(0, tx_data_comm(nullptr, &byte, 1));
  unsigned char dest[16];
  EXPECT_EQ(0, rx_data_comm(nullptr, dest, 16));
}

// The instrument closes its end: the receive ends with a result (0, or -1 where
// the platform reports the dead line as silence), never a hang.
inline void hang_up_ends_receive(int* result, long long* waited_ms) {
  send(sim_close_message());
  const Clock::time_point start = Clock::now();
  Received r = receive(16);
  *result = r.result;
  *waited_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// After a hang-up: the transfer's send on the dead line fails as a write error,
// "Transmit Error" on display lines 3 and 4.
inline void send_on_dead_line_is_transmit_error(const HostRecorder& host) {
  const int saved = g_devmode;
  g_devmode = 0;
  const unsigned char request[] = {0xF0, 0x42, 0x23, 0x58, 0x00, 0xF7};
  EXPECT_EQ(0, tx_data(nullptr, request, 6));
  g_devmode = saved;
  EXPECT_EQ("Transmit Error", host.line(3));
  EXPECT_EQ("Please contact technical support.", host.line(4));
}

}  // namespace serial_cases
