// The hand-over of a path between two copies of the program. The input is a
// run of pieces (offset, four bytes) as another process might send them, then
// a path that goes over split into its pieces, in an order the input picks.
// A path is complete only when it is terminated, not empty and every byte of
// it arrived since the last end; the split path always arrives whole.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ui/handover.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HandoverBuffer buffer;
  handover_reset(&buffer);
  size_t k = 0;
  // Stray pieces: 2 bytes of offset, 4 of data.
  const size_t strays = size > 0 ? data[k++] % 16 : 0;
  bool seen[kHandoverBufferSize] = {};  // bytes that arrived since the last end
  for (size_t i = 0; i < strays && k + 6 <= size; ++i, k += 6) {
    const unsigned offset = static_cast<unsigned>(data[k] | (data[k + 1] << 8)) % 300;
    uint32_t bytes;
    std::memcpy(&bytes, data + k + 2, 4);
    const int r = handover_receive(&buffer, offset, bytes);
    bool ends = false;
    if (offset + 4 <= static_cast<unsigned>(kHandoverBufferSize)) {
      for (unsigned b = 0; b < 4; ++b) {
        seen[offset + b] = true;
        ends = ends || ((bytes >> (8 * b)) & 0xFF) == 0;
      }
    } else if (r != kHandoverDropped) {
      fuzz_fail("a piece reaching past the buffer is never stored");
    }
    if (r == kHandoverComplete) {
      const size_t n = strnlen(buffer.rxw_filename, kHandoverBufferSize);
      if (n == 0 || n >= static_cast<size_t>(kHandoverBufferSize)) fuzz_fail("a complete path is not empty and fits");
      for (size_t j = 0; j <= n; ++j) {
        if (!seen[j]) fuzz_fail("a path is complete only when every byte before its end arrived");
      }
    } else if (r == kHandoverMore ? ends : r != kHandoverDropped) {
      fuzz_fail("a piece with a zero byte ends the path; one without asks for more");
    }
    if (ends) std::memset(seen, 0, sizeof seen);
  }
  // A whole path, from the rest of the input (no zero bytes in it).
  std::string path;
  const size_t order = k < size ? data[k++] : 0;
  for (; k < size && path.size() < static_cast<size_t>(kHandoverBufferSize - 1); ++k) {
    if (data[k] != 0) path.push_back(static_cast<char>(data[k]));
  }
  HandoverPiece pieces[kHandoverMaxPieces + 1];
  const int count = handover_split(path.c_str(), pieces, kHandoverMaxPieces + 1);
  if (path.empty() || path.size() >= static_cast<size_t>(kHandoverBufferSize)) {
    if (count != 0) fuzz_fail("an empty or over-long path is not sent");
    return 0;
  }
  if (count != static_cast<int>(path.size() / 4 + 1)) fuzz_fail("a path goes in length / 4 + 1 pieces");
  // The stray pieces may have left a path begun: the next path starts afresh
  // only after an end, so a last piece goes first to end whatever was begun.
  handover_receive(&buffer, 0, 0);
  // Every piece but the last in a rotated order, then the last.
  const int body = count - 1;
  int result = kHandoverMore;
  for (int i = 0; i < body; ++i) {
    const HandoverPiece& p = pieces[(static_cast<size_t>(i) + order) % static_cast<size_t>(body)];
    result = handover_receive(&buffer, p.offset, p.bytes);
    if (result != kHandoverMore) fuzz_fail("pieces before the last, in any order, ask for more");
  }
  result = handover_receive(&buffer, pieces[count - 1].offset, pieces[count - 1].bytes);
  if (result != kHandoverComplete || path != buffer.rxw_filename)
    fuzz_fail("the last piece completes the path as it was sent");
  return 0;
}
