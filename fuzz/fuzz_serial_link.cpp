// The serial link's reply assembly, over a port that gives the input's bytes
// one by one and then hangs up. Checked against the reading rules: before
// the start every byte but F0 is dropped (0x00 ends the wait as no reply);
// inside a message F8 and FF are dropped, F7 is stored and ends it, and the
// message ends when the destination is full. Nothing past it is read.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "link/serial_link.h"
#include "link/serial_port.h"

// The port: this target's own, in place of the system's.
namespace {
const uint8_t* line_bytes = nullptr;
size_t line_left = 0;
size_t line_read = 0;
}  // namespace

PortHandle port_open_device(const char*, bool* in_use) {
  if (in_use != nullptr) *in_use = false;
  return 7;
}
PortHandle port_open(int) { return 7; }
int port_get_state(PortHandle) { return 1; }
int port_set_line(PortHandle, int) { return 1; }
int port_set_timeouts(PortHandle) { return 1; }
int port_write(PortHandle, const unsigned char*, int) { return 1; }
int port_read_byte(PortHandle, unsigned char* byte, int) {
  if (line_left == 0) return -1;  // the end of the input: a line that hung up
  *byte = line_bytes[line_read++];
  --line_left;
  return 1;
}
int port_discard_input(PortHandle) { return 0; }  // only receives are fuzzed
void port_close(PortHandle) {}

namespace {

struct Model {
  int result;
  std::vector<unsigned char> stored;
  size_t consumed;
};

Model expected(const uint8_t* in, size_t n, int length) {
  Model m{0, {}, 0};
  size_t k = 0;
  for (;;) {
    if (k == n) {
      m.consumed = k;
      return m;  // 0: the line ended before the message did
    }
    const unsigned char b = in[k++];
    if (m.stored.empty()) {
      if (b == 0x00) {
        m.result = -1;
        m.consumed = k;
        return m;
      }
      if (b != 0xF0) continue;
    }
    if (b == 0xF7) {
      m.stored.push_back(b);
      m.result = 1;
      m.consumed = k;
      return m;
    }
    if (b == 0xF8 || b == 0xFF) continue;
    m.stored.push_back(b);
    if (static_cast<int>(m.stored.size()) >= length) {
      m.result = 1;
      m.consumed = k;
      return m;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool opened = set_comm(nullptr, 1, 38400) == 1;
  if (!opened) fuzz_fail("the stand-in port opens");
  if (size < 1) return 0;
  const int length = 1 + data[0] % 32;
  line_bytes = data + 1;
  line_left = size - 1;
  line_read = 0;
  // The destination is exactly `length` bytes: a write past it is a fault.
  std::vector<unsigned char> dest(static_cast<size_t>(length), 0xAA);
  int received = -1;
  const int got = rx_data_comm(nullptr, dest.data(), length, &received);
  const Model want = expected(data + 1, size - 1, length);
  if (got != want.result) fuzz_fail("the result is not the one the reading rules give");
  if (line_read != want.consumed) fuzz_fail("bytes after the message were taken from the line");
  if (got == 1 && std::memcmp(dest.data(), want.stored.data(), want.stored.size()) != 0)
    fuzz_fail("the stored message differs from the bytes the rules keep");
  if (received != (got == 1 ? static_cast<int>(want.stored.size()) : 0))
    fuzz_fail("the count of stored bytes is wrong");
  return 0;
}
