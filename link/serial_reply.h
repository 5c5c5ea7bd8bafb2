#pragma once
// How the serial link reads a reply, one byte at a time: before the start of a
// message every byte but 0xF0 is dropped (a 0x00 there ends the wait); inside it
// 0xF8 and 0xFF are dropped, 0xF7 is stored and ends it, anything else is stored,
// and a full buffer ends it. Kept apart from the port calls so that a receive on
// one port and a scan of many read replies by the same rules.

enum SerialReplyStep : int {
  kReplyMore = 0,             // the byte was taken or dropped; more are needed
  kReplyComplete = 1,         // the message ended (its 0xF7, or the buffer is full)
  kReplyZeroBeforeStart = 2,  // a 0x00 came while the start was awaited
};

struct SerialReply {
  unsigned char* dest;  // where the message is stored, from its 0xF0
  int length;           // room in dest
  int stored;           // bytes stored so far
};

void serial_reply_begin(SerialReply* reply, unsigned char* dest, int length);
SerialReplyStep serial_reply_feed(SerialReply* reply, unsigned char byte);
