// The serial port on Linux: a device path, opened exclusively and set to raw
// 8N1 through termios.
//
// Results on a line that goes away: a hang-up (the other end of a
// pseudo-terminal closed, a modem line dropped) makes reads return end-of-file
// or EIO and poll report POLLHUP. Each of those is a failed read (-1), so a
// receive ends with 0 ("the read failed") at once instead of waiting or
// spinning; a write to such a line fails and a send ends with 0.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "link/own_terminal_posix.h"
#include "link/serial_baud_posix.h"
#include "link/serial_port.h"

namespace {

constexpr int kWriteTimeoutMs = 10000;  // per write, in all

using Clock = std::chrono::steady_clock;

// The line settings each open port had before the link set it up, put back
// when it closes: a device that is also a terminal (a console, /dev/tty) must
// not stay raw after the run. Several ports may be open at once (--find).
std::mutex g_restore_mutex;
std::map<int, termios> g_restore;

int to_fd(PortHandle port) { return port < 0 ? -1 : static_cast<int>(port); }

int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

speed_t standard_speed(int baud) {
  switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return 0;
  }
}

}  // namespace

bool is_own_terminal(dev_t device) {
  struct stat st;
  if (stat("/dev/tty", &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device) return true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (isatty(fd) && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device) return true;
  }
  return false;
}

PortHandle port_open_device(const char* path, bool* in_use) {
  if (in_use != nullptr) *in_use = false;
  if (path == nullptr || path[0] == '\0') return kInvalidPort;
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (in_use != nullptr) *in_use = errno == EBUSY;  // held with TIOCEXCL
    return kInvalidPort;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || (S_ISCHR(st.st_mode) && is_own_terminal(st.st_rdev))) {
    close(fd);
    return kInvalidPort;
  }
  // No sharing: a port another program holds (flock, or TIOCEXCL for
  // programs that use that) does not open, and while it is open here nobody
  // else opens it.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (in_use != nullptr) *in_use = errno == EWOULDBLOCK;
    close(fd);
    return kInvalidPort;
  }
  if (isatty(fd)) ioctl(fd, TIOCEXCL);
  return static_cast<PortHandle>(fd);
}

int port_get_state(PortHandle port) {
  int fd = to_fd(port);
  termios tio{};
  return fd >= 0 && tcgetattr(fd, &tio) == 0 ? 1 : 0;
}

int port_set_line(PortHandle port, int baud) {
  int fd = to_fd(port);
  if (fd < 0 || baud <= 0) return 0;
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return 0;
  {
    std::lock_guard<std::mutex> lock(g_restore_mutex);
    g_restore.emplace(fd, tio);  // the first settings seen are the ones put back
  }
  // A raw byte stream: no line editing, echo, signals, character translation
  // or XON/XOFF (their bytes occur in packed data). Hardware flow control is
  // kept as found.
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                        ICRNL | IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  speed_t speed = standard_speed(baud);
  // Speeds without a constant (31250) are set after the rest of the line.
  speed_t first = speed != 0 ? speed : B38400;
  if (cfsetispeed(&tio, first) != 0 || cfsetospeed(&tio, first) != 0) return 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return 0;
  if (speed == 0 && !set_any_baud(fd, baud)) return 0;
  // Bytes that were waiting before this open belong to an earlier exchange
  // (a reply that came after its time-out): the first reply read must answer
  // the first request sent.
  tcflush(fd, TCIFLUSH);
  return 1;
}

int port_set_timeouts(PortHandle port) {
  // The time-outs live in port_read_byte and port_write.
  return to_fd(port) >= 0 ? 1 : 0;
}

int port_write(PortHandle port, const unsigned char* data, int length) {
  int fd = to_fd(port);
  if (fd < 0 || length < 0) return 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
  int done = 0;
  while (done < length) {
    ssize_t n = write(fd, data + done, static_cast<size_t>(length - done));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return 0;
    pollfd p{fd, POLLOUT, 0};
    int left = ms_left(deadline);
    if (left == 0) return 0;
    int r = poll(&p, 1, left);
    if (r < 0 && errno != EINTR) return 0;
    if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT)) return 0;
  }
  // Wait until the bytes have left, within the same total time-out.
  for (;;) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return 1;
    if (ms_left(deadline) == 0) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int port_read_byte(PortHandle port, unsigned char* byte, int wait_ms) {
  int fd = to_fd(port);
  if (fd < 0) return -1;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait_ms > 0 ? wait_ms : 0);
  for (;;) {
    ssize_t n = read(fd, byte, 1);
    if (n == 1) return 1;
    if (n == 0) return -1;  // end of file: the line hung up
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    pollfd p{fd, POLLIN, 0};
    int left = ms_left(deadline);
    int r = poll(&p, 1, left);
    if (r < 0 && errno != EINTR) return -1;
    if (r == 0) return 0;
    if (r > 0 && !(p.revents & POLLIN) && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return -1;
  }
}

int port_discard_input(PortHandle port) {
  int fd = to_fd(port);
  if (fd < 0) return -1;
  // Read rather than flushed, to count what goes. A line that talks without
  // pause is read no longer than for a bound of bytes: the reply's own
  // rules deal with the rest.
  constexpr int kMostDiscarded = 1 << 20;
  unsigned char sink[512];
  int discarded = 0;
  while (discarded < kMostDiscarded) {
    const ssize_t n = read(fd, sink, sizeof sink);
    if (n > 0) {
      discarded += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // nothing more waits (EAGAIN), or the line hung up: the send will tell
  }
  return discarded;
}

void port_close(PortHandle port) {
  int fd = to_fd(port);
  if (fd < 0) return;
  {
    std::lock_guard<std::mutex> lock(g_restore_mutex);
    const auto kept = g_restore.find(fd);
    if (kept != g_restore.end()) {
      tcsetattr(fd, TCSANOW, &kept->second);
      g_restore.erase(kept);
    }
  }
  // Exclusive use ends with this handle (a terminal whose other side stays
  // open would otherwise keep refusing new opens).
  if (isatty(fd)) ioctl(fd, TIOCNXCL);
  close(fd);  // releases the flock
}
