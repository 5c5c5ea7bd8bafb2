#include "cli/serial_scan.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "engine/device_protocol.h"
#include "link/serial_devices.h"
#include "link/serial_port.h"
#include "link/serial_reply.h"
#include "support/clock.h"

namespace {

struct Port {
  PortHandle handle = kInvalidPort;
  unsigned char reply[kReplySize] = {};
  SerialReply assembly{};
  bool waiting = false;  // the request went out and no answer has ended it yet
};

std::string seconds_text(int ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%d s", ms / 1000, (ms % 1000) / 100);
  return text;
}

// Takes what arrived on one port; false when its receive has ended.
bool take_bytes(Port* port, ScanResult* result) {
  unsigned char bytes[64];
  for (;;) {
    const ssize_t n = read(static_cast<int>(port->handle), bytes, sizeof bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) {
      result->why = "the line failed while the answer was awaited";
      return false;
    }
    for (ssize_t i = 0; i < n; ++i) {
      const SerialReplyStep step = serial_reply_feed(&port->assembly, bytes[i]);
      if (step == kReplyZeroBeforeStart) {
        result->why = "no answer (a 0x00 byte where a reply should begin)";
        return false;
      }
      if (step != kReplyComplete) continue;
      // Judged as the update judges a version reply, on the bytes that arrived.
      const char* fault = reply_fault(port->reply, kMsgVersionReply, port->assembly.stored);
      if (fault != nullptr) {
        result->why = std::string("no valid answer (") + fault + ")";
        return false;
      }
      result->answered = true;
      for (int which = 0; which < 3; ++which) result->versions[which] = reply_version(port->reply, which);
      return false;
    }
  }
}

}  // namespace

std::vector<ScanResult> serial_scan(const std::vector<LinkTarget>& links, int timeout_ms, bool first,
                                    bool (*stopped)(), int wake_fd) {
  std::vector<ScanResult> results(links.size());
  std::vector<Port> ports(links.size());
  unsigned char request[kVersionRequestSize];
  const int request_length = build_version_request(request);
  for (size_t i = 0; i < links.size(); ++i) {
    results[i].link = links[i];
    Port& port = ports[i];
    // Opened once, as the serial link opens a port: exclusively, raw 8N1,
    // earlier input discarded. A device that does not open is looked at again for why.
    port.handle = port_open_device(links[i].device);
    if (port.handle == kInvalidPort || !port_get_state(port.handle) || !port_set_line(port.handle, links[i].baud)) {
      char why[400] = "";
      if (port.handle != kInvalidPort) {
        port_close(port.handle);
        port.handle = kInvalidPort;
        std::snprintf(why, sizeof why, "%s", "cannot be set up as a serial line");
      } else if (serial_device_probe(links[i].device, why, sizeof why) || why[0] == '\0') {
        std::snprintf(why, sizeof why, "%s", "could not be opened");
      }
      results[i].why = std::string(why) + "; not tried";
      continue;
    }
    // Six bytes fit any driver's queue: the write does not wait for the line.
    serial_reply_begin(&port.assembly, port.reply, kReplySize);
    const ssize_t n = write(static_cast<int>(port.handle), request, static_cast<size_t>(request_length));
    if (n != request_length) {
      results[i].why = "the request could not be sent; not tried";
      port_close(port.handle);
      port.handle = kInvalidPort;
      continue;
    }
    results[i].tried = true;
    port.waiting = true;
  }

  const std::int64_t deadline = now_ms() + timeout_ms;
  bool found = false;
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<size_t> which;
    for (size_t i = 0; i < ports.size(); ++i) {
      if (!ports[i].waiting) continue;
      fds.push_back(pollfd{static_cast<int>(ports[i].handle), POLLIN, 0});
      which.push_back(i);
    }
    if (fds.empty() || (first && found) || stopped()) break;
    const std::int64_t left = deadline - now_ms();
    if (left <= 0) break;
    const size_t wake_index = fds.size();
    if (wake_fd >= 0) fds.push_back(pollfd{wake_fd, POLLIN, 0});
    const int ready = poll(fds.data(), static_cast<nfds_t>(fds.size()), static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (wake_fd >= 0 && fds[wake_index].revents != 0) {
      char drained[64];
      while (read(wake_fd, drained, sizeof drained) > 0) {
      }
    }
    for (size_t k = 0; k < which.size(); ++k) {
      if (fds[k].revents == 0) continue;
      Port& port = ports[which[k]];
      if (!take_bytes(&port, &results[which[k]])) port.waiting = false;
      if (results[which[k]].answered) found = true;
    }
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    if (ports[i].waiting && results[i].why.empty())
      results[i].why = stopped() ? "stopped" : (first && found ? "not waited for" : "no answer in " + seconds_text(timeout_ms));
    if (ports[i].handle != kInvalidPort) port_close(ports[i].handle);
  }
  return results;
}
