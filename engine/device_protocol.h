#pragma once
// Device messages: F0 42 23 58, a code, its data, F7. One request, one reply,
// each reply validated before the transfer goes on.

#include "support/host.h"

enum MessageCode : unsigned char {
  kMsgVersionRequest = 0x00,
  kMsgVersionReply = 0x01,
  kMsgSetMode = 0x02,
  kMsgStatusReply = 0x03,
  kMsgDataPacket = 0x04,
};

constexpr int kReplySize = 16;
constexpr int kVersionRequestSize = 6;
constexpr int kSetModeSize = 7;
constexpr int kDataPacketSize = 9372;  // 9 + the packed 8192-byte block

// The link in use: 0 serial, anything else MIDI; and the MIDI transfer rate 0..3
// the MIDI link paces its sends by. Both set before the transfer thread starts.
extern int g_devmode;
extern int g_xferrate;

// Writes bytes 0 to 4 of the common head; returns buf.
unsigned char* make_excl_head(unsigned char* buf, unsigned char code);
// 1 when the whole message was sent; 0 with the reason on the display.
int tx_data(WindowHandle window, const unsigned char* message, int length);
// 1 when a reply was received; 0 with the reason on the display (none after a stop).
// *received (when given) is how many of the reply's bytes arrived, on either
// link: the same bytes are judged the same way whichever link brought them.
int rx_data(WindowHandle window, unsigned char* reply, int length, int* received = nullptr);
// While on, a receive on either link waits for its reply (or its time-out)
// even when a stop is asked for meanwhile.
void rx_hold_through_stop(int on);
// 1 when the reply is valid for the request it answers; 0 with the reason shown and logged.
// Only the first `received` bytes arrived: a check that needs a byte beyond
// them fails, as a byte of no valid value would.
int check_rx_data(const unsigned char* reply, unsigned char expected_code,
                  int received = kReplySize);
// The same checks, telling nothing: 0 when the reply is valid, else the text
// check_rx_data shows on line 3 for it ("Rx Msg Error(4:Msg Code Error)").
const char* reply_fault(const unsigned char* reply, unsigned char expected_code, int received = kReplySize);

// Version `which` (0..2: the ones the display labels System, User, PCM) of a
// version reply: its two bytes from byte 5 on, the low byte first.
int reply_version(const unsigned char* reply, int which);

// The three requests, built into buf; each returns the message's length.
int build_version_request(unsigned char* buf);
int build_set_mode(unsigned char* buf, int attr_code);
// Packs one 8192-byte block as data packet `packet_number`.
int build_data_packet(unsigned char* buf, int packet_number, const unsigned char* block);
