#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <vector>

#include "link/serial_baud_posix.h"
#include "sim/pty_server.h"
#include "sim/rawmidi_line.h"

namespace {

using Clock = std::chrono::steady_clock;

bool fail(std::string* error, const char* what) {
  if (error != nullptr) *error = std::string(what) + ": " + std::strerror(errno);
  return false;
}

bool raw_line(int fd, int baud) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  speed_t speed = baud == 38400 ? B38400 : baud == 57600 ? B57600 : baud == 19200 ? B19200 : 0;
  if (baud > 0) {
    cfsetispeed(&tio, speed != 0 ? speed : B38400);
    cfsetospeed(&tio, speed != 0 ? speed : B38400);
  }
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
  return baud <= 0 || speed != 0 || set_any_baud(fd, baud) == 1;
}

// Waits up to `us` microseconds; false when woken by pty_server_stop.
bool pause_us(const PtyServer& server, long long us) {
  if (us <= 0) return true;
  pollfd p{server.wake[0], POLLIN, 0};
  timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
  int r = ppoll(&p, 1, &ts, nullptr);
  return !(r > 0 && (p.revents & POLLIN));
}

bool pause_until(const PtyServer& server, Clock::time_point when) {
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(when - Clock::now()).count();
  return pause_us(server, us);
}

// Writes all bytes to the line, waiting for room; false when stopped or failed.
bool write_all(const PtyServer& server, const unsigned char* bytes, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(server.line, bytes + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p[2] = {{server.line, POLLOUT, 0}, {server.wake[0], POLLIN, 0}};
    if (poll(p, 2, 1000) < 0 && errno != EINTR) return false;
    if (p[1].revents & POLLIN) return false;
  }
  return true;
}

// Waits (up to 5 s) until the program has read everything written to it, so
// that closing the line does not throw away the last reply.
void drain(const PtyServer& server) {
  if (server.midi) {
    rawmidi_line_drain(server.line);
    return;
  }
  if (server.keep < 0) {
    tcdrain(server.line);
    return;
  }
  int empty_checks = 0;
  for (int i = 0; i < 1000 && empty_checks < 2; ++i) {
    int queued = 0;
    if (ioctl(server.keep, FIONREAD, &queued) != 0) return;
    empty_checks = queued == 0 ? empty_checks + 1 : 0;
    if (!pause_us(server, 5000)) return;
  }
}

// Drops what has come in and not been read.
void discard_input(const PtyServer& server) {
  unsigned char buf[4096];
  for (;;) {
    pollfd p{server.line, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return;
    if (read(server.line, buf, sizeof buf) <= 0) return;
  }
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

int pty_server_open(PtyServer& server, const char* tty_path, int baud, std::string* error) {
  pty_server_close(server);
  if (pipe2(server.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    fail(error, "pipe");
    return 0;
  }
  if (tty_path != nullptr) {
    server.line = open(tty_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (server.line < 0) {
      fail(error, tty_path);
      pty_server_close(server);
      return 0;
    }
    if (!raw_line(server.line, baud)) {
      fail(error, "cannot set up the line");
      pty_server_close(server);
      return 0;
    }
    server.path = tty_path;
    return 1;
  }
  server.line = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (server.line < 0 || grantpt(server.line) != 0 || unlockpt(server.line) != 0 ||
      ptsname_r(server.line, name, sizeof name) != 0) {
    fail(error, "cannot create a pseudo-terminal");
    pty_server_close(server);
    return 0;
  }
  fcntl(server.line, F_SETFL, fcntl(server.line, F_GETFL) | O_NONBLOCK);
  server.keep = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  // Raw from the start: an echoing slave would hand the instrument its own replies.
  if (server.keep < 0 || !raw_line(server.keep, 38400)) {
    fail(error, "cannot open the pseudo-terminal's slave side");
    pty_server_close(server);
    return 0;
  }
  server.path = name;
  return 1;
}

namespace {

constexpr int kGoOn = 100;  // not a PtyServeEnd: the byte is served, go on

// One run's serving of bytes: each byte fed to the instrument, and its actions
// (replies, a close) carried out.
struct Serving {
  PtyServer& server;
  SimInstrument& sim;
  bool end_on_complete;
  void (*trace)(char, const unsigned char*, int);
  int completed_before;
  std::vector<SimAction> actions;
  Clock::time_point line_free;  // when the last byte in has fully arrived
  int restarted = 0;            // updates after which the instrument has restarted

  // kGoOn, or how the run ends.
  int feed(unsigned char byte, int byte_us) {
    sim_feed(sim, byte, actions);
    if (actions.empty()) return kGoOn;
    if (byte_us > 0 && !pause_until(server, line_free)) return kServeStopped;
    for (const SimAction& a : actions) {
      if (!pause_us(server, a.delay_us)) return kServeStopped;
      if (a.kind == SimAction::kClose) {
        close_fd(server.keep);
        close_fd(server.line);
        return kServeClosed;
      }
      if (a.per_byte_us > 0) {
        for (unsigned char b : a.bytes) {
          if (!pause_us(server, a.per_byte_us)) return kServeStopped;
          if (!write_all(server, &b, 1)) return kServeStopped;
        }
      } else if (!write_all(server, a.bytes.data(), a.bytes.size())) {
        return kServeStopped;
      }
      if (trace != nullptr) trace('>', a.bytes.data(), static_cast<int>(a.bytes.size()));
    }
    actions.clear();
    if (end_on_complete && sim.record.updates_completed > completed_before) {
      drain(server);
      return kServeCompleted;
    }
    if (sim.config.restart_ms > 0 && sim.record.updates_completed > restarted) {
      // The instrument restarts: nothing is read or answered meanwhile, and
      // what came is lost.
      restarted = sim.record.updates_completed;
      if (!pause_us(server, static_cast<long long>(sim.config.restart_ms) * 1000)) return kServeStopped;
      discard_input(server);
    }
    return kGoOn;
  }
};

}  // namespace

int pty_server_open_midi(PtyServer& server, const char* device, std::string* error) {
  pty_server_close(server);
  if (pipe2(server.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    fail(error, "pipe");
    return 0;
  }
  // Large enough for a whole data packet: the sender does not wait for a
  // reader through the sequencer, it drops what finds the buffer full.
  server.line = rawmidi_line_open(device, 1 << 16, error);
  if (server.line < 0) {
    pty_server_close(server);
    return 0;
  }
  server.midi = true;
  server.path = device;
  return 1;
}

PtyServeEnd pty_server_run(PtyServer& server, SimInstrument& sim, bool end_on_complete,
                           void (*trace)(char, const unsigned char*, int)) {
  if (server.line < 0) return kServeFailed;
  Serving serving{server, sim, end_on_complete, trace, sim.record.updates_completed, {}, Clock::now(),
                  sim.record.updates_completed};
  unsigned char buf[256];
  // A slow instrument: what comes in waits in an input buffer of slow_size
  // bytes that the instrument takes at slow_rate bytes a second; a byte that
  // finds it full is lost.
  const bool slow = server.slow_size > 0 && server.slow_rate > 0;
  const auto take_every = std::chrono::microseconds(slow ? 1000000LL / server.slow_rate : 0);
  std::deque<unsigned char> held;
  Clock::time_point next_take = Clock::now();
  for (;;) {
    int wait_ms = -1;
    if (!held.empty()) {
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(next_take - Clock::now()).count();
      wait_ms = us <= 0 ? 0 : static_cast<int>((us + 999) / 1000);
    }
    pollfd p[2] = {{server.line, POLLIN, 0}, {server.wake[0], POLLIN, 0}};
    int r = poll(p, 2, wait_ms);
    if (r < 0) {
      if (errno == EINTR) continue;
      return kServeFailed;
    }
    if (p[1].revents & POLLIN) return kServeStopped;
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = read(server.line, buf, sizeof buf);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        // The other side is not open (or hung up): look again shortly. What a
        // slow instrument holds is still taken.
        const bool paused = held.empty() ? pause_us(server, 50000) : pause_until(server, next_take);
        if (!paused) return kServeStopped;
      }
      if (n > 0 && trace != nullptr) trace('<', buf, static_cast<int>(n));
      if (n > 0 && slow) {
        if (held.empty() && next_take < Clock::now()) next_take = Clock::now();
        for (ssize_t i = 0; i < n; ++i) {
          if (held.size() < static_cast<size_t>(server.slow_size)) {
            held.push_back(buf[i]);
          } else {
            server.overruns.fetch_add(1, std::memory_order_relaxed);
          }
        }
      } else if (n > 0) {
        const int byte_us = sim_byte_time_us(sim.config.line_baud);
        const Clock::time_point read_at = Clock::now();
        for (ssize_t i = 0; i < n; ++i) {
          if (byte_us > 0) {
            // Bytes arrive one after another at the line's speed.
            if (serving.line_free < read_at) serving.line_free = read_at;
            serving.line_free += std::chrono::microseconds(byte_us);
          }
          const int end = serving.feed(buf[i], byte_us);
          if (end != kGoOn) return static_cast<PtyServeEnd>(end);
        }
        // Reading no faster than the line carries the bytes holds the sender back.
        if (byte_us > 0 && !pause_until(server, serving.line_free)) return kServeStopped;
      }
    }
    while (!held.empty() && next_take <= Clock::now()) {
      const unsigned char byte = held.front();
      held.pop_front();
      next_take += take_every;
      const int end = serving.feed(byte, 0);
      if (end != kGoOn) return static_cast<PtyServeEnd>(end);
    }
  }
}

void pty_server_stop(PtyServer& server) {
  if (server.wake[1] >= 0) {
    ssize_t ignored = write(server.wake[1], "x", 1);
    (void)ignored;
  }
}

void pty_server_close(PtyServer& server) {
  server.midi = false;
  close_fd(server.keep);
  close_fd(server.line);
  close_fd(server.wake[0]);
  close_fd(server.wake[1]);
}
