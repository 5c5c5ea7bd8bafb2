// What the two copies of the program read from each other, against a model:
// - the answer a second copy reads after handing a path over: nothing is
//   "unanswered"; one byte T, B or N is the whole answer (taken, busy, not
//   started); anything else is garbled. After a link request: 'L' then the
//   running copy's link in words, control bytes dropped, every other byte kept
//   in order; no 'L', no words.
// - the records the running copy reads from a connection, arriving in pieces
//   of any size: an 8-byte greeting (any other ends the connection with no
//   record), then 8-byte records (two little-endian words: the low half of the
//   first is the id, its high half the offset, the second the four bytes), at
//   most the limit, a record cut short by the end taken as none; the
//   connection ends when the peer closes, at the limit, after a bad greeting or
//   when its time is up, and not before.
//
// The input: a byte whose bit 0 picks the records (else the answer); for the
// answer, bit 1 says it follows a link request and the rest is the answer. For
// the records, the rest is pieces: a length byte, then that many bytes; a zero
// byte before a piece makes the reader look at it only after the connection's
// time is up.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_rule.h"
#include "ui/handover.h"
#include "ui/single_copy.h"

namespace {

// Every piece of a longest path, the foreground request, and one more.
constexpr int kRecordLimit = kHandoverMaxPieces + 2;
constexpr std::int64_t kDeadline = 1000000;

void check_answer(const uint8_t* bytes, int n, bool asked_link) {
  std::string link = "left over";
  const int result = single_copy_read_answer(bytes, n, asked_link, &link);
  if (asked_link) {
    fuzz_rule(result == kSingleCopyRunning, "a link request's answer says a copy runs");
    std::string words;
    if (n >= 1 && bytes[0] == 'L') {
      for (int i = 1; i < n; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] != 0x7F) words += static_cast<char>(bytes[i]);
      }
    }
    if (link != words)
      fuzz_rule_broken("the link's words are the bytes after 'L' without control bytes",
                       fuzz_shown(link) + " for " + fuzz_shown(words));
    fuzz_rule(single_copy_read_answer(bytes, n, asked_link, nullptr) == kSingleCopyRunning,
              "a link request's answer reads the same with nowhere to put the words");
    return;
  }
  int expected = kSingleCopyGarbled;
  if (n == 0) expected = kSingleCopyUnanswered;
  if (n == 1 && bytes[0] == 'T') expected = kSingleCopyHandedOver;
  if (n == 1 && bytes[0] == 'B') expected = kSingleCopyBusy;
  if (n == 1 && bytes[0] == 'N') expected = kSingleCopyNotStarted;
  if (result != expected)
    fuzz_rule_broken("one byte T, B or N is the whole answer, nothing is unanswered, anything else garbled",
                     "answer " + fuzz_shown(std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n))) +
                         " read as " + std::to_string(result));
}

struct Received {
  std::vector<HandoverRecord> records;
};

void on_record(const HandoverRecord& record, void* context) {
  static_cast<Received*>(context)->records.push_back(record);
}

std::uint32_t word_at(const std::string& s, size_t at) {
  std::uint32_t w = 0;
  for (int b = 0; b < 4; ++b) w |= static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + b])) << (8 * b);
  return w;
}

void check_records(const uint8_t* data, size_t size) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) fuzz_rule_broken("a socket pair can be made");
  ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);  // the running copy never blocks
  HandoverConnection connection;
  handover_connection_reset(&connection);
  connection.fd = ends[0];
  connection.deadline_ms = kDeadline;

  Received received;
  std::string read_from;  // every byte sent while the connection's time was not up
  bool open = true;
  for (size_t k = 0; k < size && open;) {
    const bool late = data[k] == 0;  // the next piece comes, but the reader looks only when time is up
    if (late) ++k;
    const size_t length = k < size ? data[k++] : 0;
    const size_t n = std::min(length, size - k);
    if (n > 0 && ::send(ends[1], data + k, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
      fuzz_rule_broken("a piece can be sent");
    if (late) {
      open = handover_read(&connection, kDeadline, on_record, &received) != 0;
      fuzz_rule(!open, "a connection whose time is up is closed, what came late unread");
      break;
    }
    read_from.append(reinterpret_cast<const char*>(data + k), n);
    k += n;
    open = handover_read(&connection, 0, on_record, &received) != 0;
    // Where the model says the connection ends: a bad greeting, or the limit.
    const bool bad_greeting = read_from.size() >= 8 && std::memcmp(read_from.data(), kHandoverGreeting, 8) != 0;
    const bool at_limit = !bad_greeting && read_from.size() >= 8 + kRecordLimit * 8u;
    if (open == (bad_greeting || at_limit))
      fuzz_rule_broken(open ? "a bad greeting or the limit of records ends the connection"
                            : "a connection stays open until it is done",
                       std::to_string(read_from.size()) + " bytes");
  }
  if (open) {
    ::shutdown(ends[1], SHUT_WR);
    fuzz_rule(handover_read(&connection, 0, on_record, &received) == 0, "a connection the peer closed is closed");
  }
  fuzz_rule(connection.fd == -1, "a closed connection holds no descriptor");
  ::close(ends[1]);  // the reader closed its own end

  // The records in what was sent in time.
  std::vector<HandoverRecord> expected;
  if (read_from.size() >= 8 && std::memcmp(read_from.data(), kHandoverGreeting, 8) == 0) {
    for (size_t at = 8; at + 8 <= read_from.size() && expected.size() < static_cast<size_t>(kRecordLimit); at += 8) {
      const std::uint32_t first = word_at(read_from, at);
      expected.push_back(HandoverRecord{first & 0xFFFFu, first >> 16, word_at(read_from, at + 4)});
    }
  }
  if (received.records.size() != expected.size())
    fuzz_rule_broken("every whole record after the greeting is read once, up to the limit",
                     std::to_string(received.records.size()) + " records read where the model reads " +
                         std::to_string(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    const HandoverRecord& a = received.records[i];
    const HandoverRecord& b = expected[i];
    if (a.id != b.id || a.offset != b.offset || a.bytes != b.bytes)
      fuzz_rule_broken("a record reads as its two little-endian words", "record " + std::to_string(i));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if ((data[0] & 1) == 0) {
    check_answer(data + 1, static_cast<int>(size - 1), (data[0] & 2) != 0);
  } else {
    check_records(data + 1, size - 1);
  }
  return 0;
}
