#pragma once
// The simulated XR3300: the instrument's end of the device message protocol,
// free of any transport. Bytes go in one at a time; what the instrument does in
// answer comes out as actions (wait, write bytes, close the line), and a record
// keeps what it received. A pseudo-terminal server (pty_server.h) and a fake
// MIDI driver both drive it.
//
// Replies:
//   version reply, 16 bytes: F0 42 23 58 01, the first, second and third
//     version low byte first (bytes 5,6 / 7,8 / 9,10), 00 00 00 00, F7;
//   status reply, 7 bytes: F0 42 23 58 03 status F7.
// Requests it acts on: version request (00), Set Mode (02, attribute code 0..3
// starts a new image), data packet (04: head, packet number from 0 in order,
// 9372 bytes, checksum of the packed bytes, F7; unpacked into the image).
// A bad packet is answered with status 1 (format) or 2 (checksum) and not
// stored. Messages with another head are ignored, except the test messages
// with ID 7D below.
//
// Test messages (F0 7D ... F7), for link tests that need exact bytes on the line:
//   F0 7D 01 h l h l ... F7  send the bytes given as high and low nibbles;
//   F0 7D 02 F7              close the line.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

constexpr int kSimBlockSize = 8192;
constexpr int kSimPacketSize = 9372;
constexpr int kSimVersionReplySize = 16;
constexpr int kSimStatusReplySize = 7;
constexpr int kSimMaxMessage = 16384;  // longer messages are dropped as garbage

// The noise sent before a reply unless another is given: FE F8 F7 12 34.
std::vector<unsigned char> sim_default_noise();

// Which request a fault applies to.
struct SimStep {
  enum Kind { kNone, kVersion, kSetMode, kPacket, kAll } kind = kNone;
  int packet = 0;  // for kPacket: the packet number, from 0
};

struct SimConfig {
  // The three versions of the version reply, each high byte * 256 + low byte.
  std::array<int, 3> versions{{0x0100, 0x0100, 0x0100}};
  std::string image_path;  // written when all packets of an update arrived ("" none)

  int setmode_status = 0;      // status in the reply to Set Mode
  SimStep status_step;         // a packet (or other step) answered with...
  int status_value = 0;        // ...this status instead of 0
  SimStep silent_step;         // no reply at all
  SimStep noise_step;          // these bytes go before the reply
  std::vector<unsigned char> noise = sim_default_noise();
  SimStep long_step;           // the reply padded with long_fill to long_length
  int long_length = 20;        // bytes, F7 last
  int long_fill = 0x00;
  SimStep bad_step;            // reply byte bad_index replaced by bad_value
  int bad_index = 1;
  int bad_value = 0x41;
  SimStep delay_step;          // reply sent after delay_ms
  int delay_ms = 0;
  SimStep late_step;           // the first reply to this step sent after late_ms
  int late_ms = 0;
  SimStep duplicate_step;      // the reply sent twice
  SimStep close_step;          // the line is closed instead of replying
  int line_baud = 0;           // > 0: bytes paced at this speed (10 bits each)
  // >= 0: after a completed update the instrument restarts, silent this many
  // ms (the server drops what comes meanwhile), and its version reply then
  // carries the update's version. -1: it goes on with the versions it had.
  int restart_ms = -1;
};

struct SimAction {
  enum Kind { kWrite, kClose } kind = kWrite;
  int delay_us = 0;          // wait before this action
  int per_byte_us = 0;       // and this long before each byte (line speed)
  std::vector<unsigned char> bytes;
};

struct SimRecord {
  int messages = 0;            // complete messages seen (any head)
  int version_requests = 0;
  int setmodes = 0;
  int attr_code = -1;          // of the last accepted Set Mode
  int expected_packets = 0;    // of the update under way
  int packets = 0;             // packets accepted in the update under way
  int bad_packets = 0;
  int updates_completed = 0;
  int image_written = 0;       // 1 when the last completed image reached image_path
  int stray_bytes = 0;         // bytes outside any message
  std::string last_error;      // "" while nothing went wrong
  std::vector<unsigned char> image;  // the image being received (complete when
                                     // packets == expected_packets)
};

struct SimInstrument {
  SimConfig config;
  SimRecord record;
  std::vector<unsigned char> message;  // the message being received
  bool in_message = false;
  bool updating = false;               // Set Mode accepted, packets still due
  bool closed = false;                 // a close action was produced
  bool late_sent = false;              // the late reply has been sent once
};

// Starts afresh with `config`.
void sim_reset(SimInstrument& sim, const SimConfig& config);
// Takes one byte from the line; appends what the instrument does in answer.
void sim_feed(SimInstrument& sim, unsigned char byte, std::vector<SimAction>& out);

// Parses "version", "setmode", "packet:K", "all". 1 on success.
int sim_parse_step(const char* text, SimStep* step);
// Whether the request `current` is selected by `wanted`.
bool sim_step_matches(const SimStep& wanted, const SimStep& current);
// Microseconds one byte takes on a line of `baud` (start, 8 data, stop bits).
int sim_byte_time_us(int baud);

// Builds the test message that makes the instrument send `bytes` verbatim.
std::vector<unsigned char> sim_say_message(const std::vector<unsigned char>& bytes);
// Builds the test message that makes the instrument close the line.
std::vector<unsigned char> sim_close_message();
