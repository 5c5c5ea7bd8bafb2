// Reply validation against the table of replies: the first check that fails
// decides the error and its text; only the bytes that arrived are judged, and
// the bytes past them are poisoned, so reading one is a fault.
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "engine/device_protocol.h"
#include "fuzz/fuzz_host.h"

namespace {

const char* const kHead[5] = {"Rx Msg Error(0:Not Exclusive)", "Rx Msg Error(1:Not PELD ID)",
                              "Rx Msg Error(2:JIG ID Error)", "Rx Msg Error(3:Product ID Error)",
                              "Rx Msg Error(4:Msg Code Error)"};
const char* const kStatus[6] = {"Rx Msg Error(5:Format Error)",   "Rx Msg Error(5:Checksum Error)",
                                "Rx Msg Error(5:Timeout Error)",  "Rx Msg Error(5:Hardware Error)",
                                "Rx Msg Error(5:Write Error)",    "Rx Msg Error(5:Unknown Error)"};

// "" for a valid reply, else the text of line 3.
std::string expected(const unsigned char* r, int received, unsigned char code) {
  static const unsigned char head[4] = {0xF0, 0x42, 0x23, 0x58};
  if (received < 1 || (r[0] != 0xF0 && r[0] != 0xF7)) return kHead[0];
  for (int i = 1; i < 4; ++i) {
    if (received <= i || r[i] != head[i]) return kHead[i];
  }
  if (received <= 4 || r[4] != code) return kHead[4];
  if (code == 0x01 && received < 11) return kHead[4];  // versions cut off
  if (code != 0x03) return "";
  if (received <= 5) return kStatus[5];  // no status arrived
  if (r[5] == 0) return "";
  return kStatus[r[5] <= 5 ? r[5] - 1 : 5];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool installed = (fuzz_host_install(), true);
  (void)installed;
  if (size < 1) return 0;
  const unsigned char code = (data[0] & 0x80) ? 0x01 : 0x03;
  const int received = data[0] % (kReplySize + 1);
  alignas(16) unsigned char reply[kReplySize] = {};
  std::memcpy(reply, data + 1, size - 1 < kReplySize ? size - 1 : kReplySize);
  ASAN_POISON_MEMORY_REGION(reply + received, kReplySize - received);

  fuzz_host().clear();
  const std::string want = expected(reply, received, code);
  const int got = check_rx_data(reply, code, received);
  ASAN_UNPOISON_MEMORY_REGION(reply, kReplySize);
  if (got != (want.empty() ? 1 : 0)) fuzz_fail("a reply is valid exactly when every check passes");
  if (fuzz_host().lines[3] != want) fuzz_fail("line 3 names the first check that fails");
  if (!want.empty() && (fuzz_host().lines[4].empty() || fuzz_host().lines[5].empty()))
    fuzz_fail("a refused reply fills lines 4 and 5 too");
  return 0;
}
