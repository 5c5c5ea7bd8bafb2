#include "link/serial_reply.h"

namespace {

constexpr unsigned char kStartOfMessage = 0xF0;
constexpr unsigned char kEndOfMessage = 0xF7;
constexpr unsigned char kTimingClock = 0xF8;
constexpr unsigned char kSystemReset = 0xFF;

}  // namespace

void serial_reply_begin(SerialReply* reply, unsigned char* dest, int length) {
  reply->dest = dest;
  reply->length = length;
  reply->stored = 0;
}

SerialReplyStep serial_reply_feed(SerialReply* reply, unsigned char byte) {
  if (reply->length < 1) return kReplyComplete;  // no room for even the start byte
  if (reply->stored == 0) {
    if (byte == 0x00) return kReplyZeroBeforeStart;
    if (byte != kStartOfMessage) return kReplyMore;
  }
  if (byte == kEndOfMessage) {
    reply->dest[reply->stored++] = byte;
    return kReplyComplete;
  }
  if (byte == kTimingClock || byte == kSystemReset) return kReplyMore;
  reply->dest[reply->stored++] = byte;
  return reply->stored >= reply->length ? kReplyComplete : kReplyMore;
}
