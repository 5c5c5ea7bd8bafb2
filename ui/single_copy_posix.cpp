#include "ui/single_copy.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/program_info.h"
#include "ui/handover.h"
#include "support/clock.h"

namespace {

constexpr int kMaxRecords = kHandoverMaxPieces + 2;  // every piece of a full path and the request
constexpr int kConnectWaitMs = 2000;                 // a running copy may still be starting
constexpr int kAnswerWaitMs = 2000;                  // a running copy at its main loop answers within milliseconds, a loaded one later

int g_listen_fd = -1;
int g_lock_fd = -1;
char g_socket_path[sizeof(sockaddr_un::sun_path)];

char g_note[1024];

// Why a folder may not hold the socket; empty when it may: ours, a real
// directory (not a link), no one else may write.
std::string folder_refusal(const std::string& folder) {
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0) return std::string("it cannot be used (") + std::strerror(errno) + ")";
  if (S_ISLNK(st.st_mode)) return "it is a link";
  if (!S_ISDIR(st.st_mode)) return "it is not a folder";
  if (st.st_uid != geteuid()) return "it belongs to another user";
  if ((st.st_mode & 022) != 0) return "other users may write to it";
  return std::string();
}

// A private folder made as needed (its missing parent too, as ~/.cache may be).
void make_private(const std::string& folder, bool with_parent) {
  if (with_parent) {
    const size_t slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0) mkdir(folder.substr(0, slash).c_str(), 0700);
  }
  mkdir(folder.c_str(), 0700);
}

bool fill_address(sockaddr_un* address, const char* path) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path, std::strlen(path) + 1);
  return true;
}

bool write_all(int fd, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd writable = {fd, POLLOUT, 0};
        if (poll(&writable, 1, 1000) > 0) continue;
      }
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

void put_record(unsigned char* out, std::uint32_t wparam, std::uint32_t lparam) {
  for (int b = 0; b < 4; ++b) {
    out[b] = static_cast<unsigned char>(wparam >> (8 * b));
    out[4 + b] = static_cast<unsigned char>(lparam >> (8 * b));
  }
}

// Connects to the running copy; -1 when nothing answers. The socket does not block:
// a running copy busy in a dialog leaves connections waiting in its backlog, and a
// full backlog must not hold this start for ever.
int connect_running(const char* path) {
  sockaddr_un address;
  if (!fill_address(&address, path)) return -1;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends the greeting, the path's pieces and the foreground request.
bool send_handover(int fd, const CmdLine& record) {
  unsigned char message[sizeof kHandoverGreeting + kMaxRecords * kHandoverRecordSize];
  std::size_t length = 0;
  std::memcpy(message, kHandoverGreeting, sizeof kHandoverGreeting);
  length += sizeof kHandoverGreeting;
  if (record.path[0] != '\0') {
    HandoverPiece pieces[kHandoverMaxPieces];
    const int count = handover_split(record.path, pieces, kHandoverMaxPieces);
    for (int i = 0; i < count; ++i) {
      put_record(message + length, 211u | (pieces[i].offset << 16), pieces[i].bytes);
      length += kHandoverRecordSize;
    }
  }
  if (record.no_foreground == 0) {
    put_record(message + length, kHandoverForeground, 0);
    length += kHandoverRecordSize;
  }
  return write_all(fd, message, length);
}

bool listen_on(const char* path) {
  sockaddr_un address;
  if (!fill_address(&address, path)) return false;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  // Whatever lies at the path now belongs to no running copy: a crashed copy's socket.
  unlink(path);
  const mode_t old_mask = umask(077);
  const int bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  umask(old_mask);
  if (bound != 0 || listen(fd, SOMAXCONN) != 0) {
    close(fd);
    return false;
  }
  g_listen_fd = fd;
  std::memcpy(g_socket_path, path, std::strlen(path) + 1);
  return true;
}

// Sends the link request alone.
bool send_link_request(int fd) {
  unsigned char message[sizeof kHandoverGreeting + kHandoverRecordSize];
  std::memcpy(message, kHandoverGreeting, sizeof kHandoverGreeting);
  put_record(message + sizeof kHandoverGreeting, kHandoverLinkRequest, 0);
  return write_all(fd, message, sizeof message);
}

// After the records: the running copy's answer, read until it closes (or the
// wait runs out: then it has not answered yet).
int await_answer(int fd, const CmdLine& record, std::string* running_link) {
  const bool asked_link = running_link != nullptr;
  if (!asked_link && record.path[0] == '\0') return kSingleCopyHandedOver;  // nothing to answer about
  shutdown(fd, SHUT_WR);
  unsigned char answer[1 + kHandoverLinkTextMax];
  int got = 0;
  const std::int64_t give_up = now_ms() + kAnswerWaitMs;
  for (;;) {
    const std::int64_t left = give_up - now_ms();
    if (left <= 0) break;
    pollfd readable = {fd, POLLIN, 0};
    const int ready = poll(&readable, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t n = recv(fd, answer + got, sizeof answer - static_cast<std::size_t>(got), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 0) {
      // The running copy reset the connection: what it had not read yet is lost.
      return got > 0 ? single_copy_read_answer(answer, got, asked_link, running_link) : kSingleCopyUnanswered;
    }
    if (n == 0) return single_copy_read_answer(answer, got, asked_link, running_link);
    got += static_cast<int>(n);
    if (got == static_cast<int>(sizeof answer)) return single_copy_read_answer(answer, got, asked_link, running_link);
  }
  // Still open and silent: a path is held while a dialog is open; a link
  // request gets what has come.
  if (asked_link) return single_copy_read_answer(answer, got, asked_link, running_link);
  return got > 0 ? single_copy_read_answer(answer, got, asked_link, running_link) : kSingleCopyPending;
}

}  // namespace

int single_copy_socket_path_in(const SocketPlaceInputs& inputs, char* out, int size, char* note,
                               int note_size) {
  if (note != nullptr && note_size > 0) note[0] = '\0';
  // The title with every character that is not a letter or digit made "_".
  char name[sizeof kProgramTitle];
  for (std::size_t i = 0; i < sizeof kProgramTitle; ++i) {
    const char c = kProgramTitle[i];
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    name[i] = c == '\0' ? '\0' : plain ? c : '_';
  }
  struct Candidate {
    std::string folder;
    bool made;         // made here when missing
    bool with_parent;  // and its parent
  };
  std::vector<Candidate> candidates;
  if (inputs.runtime_dir != nullptr && inputs.runtime_dir[0] != '\0')
    candidates.push_back({inputs.runtime_dir, false, false});
  if (inputs.temp_dir != nullptr && inputs.temp_dir[0] == '/')
    candidates.push_back({std::string(inputs.temp_dir) + "/xrupdate-" + std::to_string(geteuid()), true, false});
  if (inputs.cache_home != nullptr && inputs.cache_home[0] == '/') {
    candidates.push_back({std::string(inputs.cache_home) + "/xrupdate", true, true});
  } else if (inputs.home != nullptr && inputs.home[0] == '/') {
    candidates.push_back({std::string(inputs.home) + "/.cache/xrupdate", true, true});
  }

  std::string refused;  // the first folder passed over, and why
  for (const Candidate& candidate : candidates) {
    const std::string path = candidate.folder + "/" + name + ".sock";
    std::string why;
    if (candidate.folder[0] != '/') {
      why = "it is not an absolute path";
    } else if (path.size() >= sizeof(sockaddr_un::sun_path)) {
      why = "its path is too long for the socket's address";
    } else {
      if (candidate.made) make_private(candidate.folder, candidate.with_parent);
      why = folder_refusal(candidate.folder);
    }
    if (why.empty() && path.size() < static_cast<std::size_t>(size)) {
      std::memcpy(out, path.c_str(), path.size() + 1);
      if (!refused.empty() && note != nullptr)
        std::snprintf(note, static_cast<std::size_t>(note_size), "%s\n%s is used instead.", refused.c_str(),
                      candidate.folder.c_str());
      return 1;
    }
    if (refused.empty())
      refused = "The folder " + candidate.folder +
                " cannot hold the socket through which a second start hands its file to this copy: " + why + ".";
  }
  if (!refused.empty() && note != nullptr)
    std::snprintf(note, static_cast<std::size_t>(note_size),
                  "%s\nNo other folder can hold it: a second start runs beside this copy.", refused.c_str());
  return 0;
}

int single_copy_socket_path(char* out, int size) {
  const SocketPlaceInputs inputs = {std::getenv("XDG_RUNTIME_DIR"), "/tmp", std::getenv("XDG_CACHE_HOME"),
                                    std::getenv("HOME")};
  return single_copy_socket_path_in(inputs, out, size, g_note, sizeof g_note);
}

const char* single_copy_note() { return g_note; }

int single_copy_read_answer(const unsigned char* bytes, int n, bool asked_link, std::string* link) {
  if (asked_link) {
    if (link != nullptr) link->clear();
    if (n < 1 || bytes[0] != static_cast<unsigned char>(kHandoverAnswerLink)) return kSingleCopyRunning;
    // Only text is taken: control bytes of a garbled answer are not shown.
    for (int i = 1; i < n && link != nullptr; ++i) {
      if (bytes[i] >= 0x20 && bytes[i] != 0x7F) *link += static_cast<char>(bytes[i]);
    }
    return kSingleCopyRunning;
  }
  if (n < 1) return kSingleCopyUnanswered;
  if (n > 1) return kSingleCopyGarbled;  // one byte is the whole answer
  switch (bytes[0]) {
    case kHandoverAnswerTaken: return kSingleCopyHandedOver;
    case kHandoverAnswerBusy: return kSingleCopyBusy;
    case kHandoverAnswerNotStarted: return kSingleCopyNotStarted;
    default: return kSingleCopyGarbled;
  }
}

int single_copy_start(const CmdLine& record, std::string* running_link) {
  char path[sizeof(sockaddr_un::sun_path)];
  if (!single_copy_socket_path(path, sizeof path)) return kSingleCopyFirst;

  // The lock decides who is the running copy; the kernel drops it when a copy dies.
  char lock_path[sizeof path + 8];
  std::snprintf(lock_path, sizeof lock_path, "%s.lock", path);
  const int lock_fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  bool running = false;
  if (lock_fd >= 0) {
    if (flock(lock_fd, LOCK_EX | LOCK_NB) == 0) {
      g_lock_fd = lock_fd;
    } else {
      running = errno == EWOULDBLOCK;
      close(lock_fd);
    }
  }
  if (!running && g_lock_fd < 0) {
    // No lock to be had (a file system without locks): a socket that answers is a running copy.
    const int fd = connect_running(path);
    if (fd >= 0) {
      const bool sent = running_link != nullptr ? send_link_request(fd) : send_handover(fd, record);
      const int answered = sent ? await_answer(fd, record, running_link) : kSingleCopyNoAnswer;
      close(fd);
      if (sent) return answered;
    }
  }
  if (running) {
    const std::int64_t give_up = now_ms() + kConnectWaitMs;
    for (;;) {
      const int fd = connect_running(path);
      if (fd >= 0) {
        const bool sent = running_link != nullptr ? send_link_request(fd) : send_handover(fd, record);
        // A copy that closes before taking the records has not taken them.
        const int answered = sent ? await_answer(fd, record, running_link) : kSingleCopyUnanswered;
        close(fd);
        return answered;
      }
      if (now_ms() >= give_up) return kSingleCopyNoAnswer;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  listen_on(path);
  return kSingleCopyFirst;
}

int single_copy_listen_fd() { return g_listen_fd; }

void single_copy_stop() {
  if (g_listen_fd >= 0) {
    close(g_listen_fd);
    g_listen_fd = -1;
    unlink(g_socket_path);
  }
  if (g_lock_fd >= 0) {
    close(g_lock_fd);
    g_lock_fd = -1;
  }
}

void handover_answer(const HandoverConnection* connection, char answer) {
  if (connection->fd < 0) return;
  const ssize_t n = send(connection->fd, &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)n;
}

void handover_answer_link(const HandoverConnection* connection, const char* link) {
  if (connection->fd < 0) return;
  std::string answer(1, kHandoverAnswerLink);
  answer.append(link, std::min<std::size_t>(std::strlen(link), kHandoverLinkTextMax));
  const ssize_t n = send(connection->fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)n;
}

void handover_connection_reset(HandoverConnection* connection) {
  connection->fd = -1;
  connection->deadline_ms = 0;
  connection->greeted = 0;
  connection->length = 0;
  connection->records = 0;
}

int handover_accept(int listen_fd, HandoverConnection* connection, std::int64_t now) {
  if (listen_fd < 0 || connection->fd >= 0) return 0;
  const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0)
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED ? 0 : -1;
  handover_connection_reset(connection);
  connection->fd = fd;
  connection->deadline_ms = now + 1000;
  return 1;
}

int handover_read(HandoverConnection* connection, std::int64_t now,
                  void (*on_record)(const HandoverRecord& record, void* context), void* context) {
  if (connection->fd < 0) return 0;
  bool finished = now >= connection->deadline_ms;
  unsigned char buffer[256];
  while (!finished) {
    const ssize_t n = recv(connection->fd, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) finished = true;
      break;
    }
    if (n == 0) {
      finished = true;
      break;
    }
    for (ssize_t i = 0; i < n && !finished; ++i) {
      connection->partial[connection->length++] = buffer[i];
      if (connection->length < kHandoverRecordSize) continue;
      connection->length = 0;
      if (!connection->greeted) {
        if (std::memcmp(connection->partial, kHandoverGreeting, sizeof kHandoverGreeting) != 0) {
          finished = true;  // not a copy of this program
        }
        connection->greeted = 1;
        continue;
      }
      std::uint32_t words[2] = {0, 0};
      for (int w = 0; w < 2; ++w) {
        for (int b = 0; b < 4; ++b) {
          words[w] |= static_cast<std::uint32_t>(connection->partial[4 * w + b]) << (8 * b);
        }
      }
      HandoverRecord record;
      record.id = words[0] & 0xFFFFu;
      record.offset = words[0] >> 16;
      record.bytes = words[1];
      on_record(record, context);
      if (++connection->records >= kMaxRecords) finished = true;  // no sender needs more
    }
  }
  if (!finished) return 1;
  close(connection->fd);
  handover_connection_reset(connection);
  return 0;
}
