#pragma once
// One running copy per user: the running copy listens on a Unix-domain socket in
// the user's runtime folder, named from the program title; a second start hands
// it the path of its update file, in the same four-byte pieces as command 211,
// and the request to come to the front, then exits.
//
// On the socket: an 8-byte greeting "XRHO0001", then records of 8 bytes, each two
// little-endian 32-bit words (wParam, lParam). wParam's low word 211 is a piece
// (high word: its byte offset, lParam: its four bytes, the first in the low eight
// bits); low word 1 is the foreground request. After the last record the sender
// shuts down its side for writing and waits a little for one answer byte about
// its path (kHandoverAnswer...). A sender that may not hand anything over (a
// start that names its own link) sends the link request (low word 2) alone, and
// the running copy answers 'L' and its link in words.

#include <cstdint>
#include <string>

#include "ui/command_line.h"

constexpr char kHandoverGreeting[8] = {'X', 'R', 'H', 'O', '0', '0', '0', '1'};
constexpr int kHandoverRecordSize = 8;
constexpr unsigned kHandoverForeground = 1;  // the low word of the foreground request
constexpr unsigned kHandoverLinkRequest = 2;  // the low word of the link request

// The running copy's answer about a path.
constexpr char kHandoverAnswerTaken = 'T';       // started, or held until a dialog closes
constexpr char kHandoverAnswerBusy = 'B';        // a transfer runs: dropped
constexpr char kHandoverAnswerNotStarted = 'N';  // the link did not open, or the path was unusable
constexpr char kHandoverAnswerLink = 'L';        // followed by the running copy's link in words
constexpr int kHandoverLinkTextMax = 600;         // the most of the link's words read

enum SingleCopyResult : int {
  kSingleCopyFirst = 0,       // no copy runs: this one listens (or runs without the check)
  kSingleCopyHandedOver = 1,  // a running copy took the path; exit with 0
  kSingleCopyNoAnswer = 2,    // a copy holds the lock but does not answer
  kSingleCopyBusy = 3,        // the running copy is updating: the path was dropped
  kSingleCopyNotStarted = 4,  // the running copy could not start the path (it says why)
  kSingleCopyPending = 5,     // the running copy has the path but has not answered yet (a dialog is open)
  kSingleCopyUnanswered = 6,  // the running copy closed without answering (or reset the connection)
  kSingleCopyGarbled = 7,     // the running copy answered something that is no answer
  kSingleCopyRunning = 8,     // a copy runs; it was asked for its link only (nothing handed over)
};

// Where the socket's folder is looked for, in this order: the runtime folder;
// "xrupdate-UID" in the temporary folder; "xrupdate" in the user's cache folder
// (XDG_CACHE_HOME, else HOME/.cache). The folder must be a folder of this user
// that no one else may write, and the socket's path must fit an address.
struct SocketPlaceInputs {
  const char* runtime_dir;  // XDG_RUNTIME_DIR, or null when unset
  const char* temp_dir;     // "/tmp"
  const char* cache_home;   // XDG_CACHE_HOME, or null
  const char* home;         // HOME, or null
};

// The socket's path for `inputs`: 1 with the path in out (size bytes), 0 when no
// folder can hold it. A folder passed over for a reason the user should know
// (one that another user owns or others may write, a path too long) is told in
// note (note_size bytes, empty when there is nothing to tell), with the place
// used instead.
int single_copy_socket_path_in(const SocketPlaceInputs& inputs, char* out, int size, char* note,
                               int note_size);

// The same for this process's environment; the note is kept for single_copy_note.
int single_copy_socket_path(char* out, int size);

// What single_copy_start found wrong with the socket's folder, for the user; empty when nothing.
const char* single_copy_note();

// The start-up check: either hands `record` over to the running copy, or makes
// this process the running copy (the listening socket is then open). With
// `running_link`, nothing is handed over: a running copy is asked for its link
// instead, which comes back in *running_link (kSingleCopyRunning).
int single_copy_start(const CmdLine& record, std::string* running_link = nullptr);

// The running copy's answer as the second copy reads it: `bytes` (n of them,
// read until the running copy closed) after a hand-over (asked_link false) or a
// link request. The result, and the link's words in *link for a link request.
int single_copy_read_answer(const unsigned char* bytes, int n, bool asked_link, std::string* link);

// The listening socket (non-blocking), or -1 when this copy could not listen.
int single_copy_listen_fd();

// Releases the socket, its file and the lock.
void single_copy_stop();

// One connection from a second copy, read a little at a time without blocking.
struct HandoverConnection {
  int fd;                    // -1: none
  std::int64_t deadline_ms;  // closed when it has not finished by then
  int greeted;               // the greeting arrived
  int length;                // bytes in `partial`
  unsigned char partial[kHandoverRecordSize];
  int records;  // records taken so far
};

// What a record asks for.
struct HandoverRecord {
  unsigned id;      // low word of wParam
  unsigned offset;  // high word of wParam
  std::uint32_t bytes;
};

void handover_connection_reset(HandoverConnection* connection);
// Accepts one waiting connection, if any: 1 when `connection` now holds it, 0 when
// none waits, -1 when accepting fails (out of descriptors).
int handover_accept(int listen_fd, HandoverConnection* connection, std::int64_t now_ms);
// Tells the second copy on `connection` what became of its path (one byte;
// a copy that no longer waits is not an error).
void handover_answer(const HandoverConnection* connection, char answer);
// Answers a link request: 'L' and the link in words.
void handover_answer_link(const HandoverConnection* connection, const char* link);
// Reads what has arrived; calls `on_record` for each whole record. Returns 0 when
// the connection is finished (closed by the peer, bad greeting, too long, too slow,
// or an error) and has been closed; 1 while it stays open.
int handover_read(HandoverConnection* connection, std::int64_t now_ms,
                  void (*on_record)(const HandoverRecord& record, void* context), void* context);
