#include "engine/seven_bit.h"

namespace {

// The packing one byte at a time: each group's header byte is written after
// its data bytes are known. Adds the packed bytes to *sum.
int pack_bytes(const unsigned char* source, unsigned char* dest, int n, unsigned* sum) {
  unsigned char* header = dest;  // reserved for the current group's top bits
  unsigned char* out = dest + 1;
  unsigned char collector = 0;
  unsigned total = 0;
  int in_group = 0;
  for (int i = 0; i < n; ++i) {
    const unsigned char low = source[i] & 0x7F;
    *out++ = low;
    total += low;
    collector = static_cast<unsigned char>(collector | ((source[i] >> 7) << in_group));
    if (++in_group == 7 && i + 1 < n) {
      *header = collector;
      total += collector;
      collector = 0;
      in_group = 0;
      header = out++;
    }
  }
  *header = collector;
  total += collector;
  *sum += total;
  return static_cast<int>(out - dest);
}

}  // namespace

int encode_midi(const unsigned char* source, unsigned char* dest, int n, unsigned char* checksum) {
  unsigned sum = 0;  // only the low seven bits are delivered
  // Whole groups first, several at a time where the processor allows it; the
  // rest (always at least one byte) one byte at a time.
  const int done = pack_wide_groups(source, dest, n, &sum);
  const int length = done / 7 * 8 + pack_bytes(source + done, dest + done / 7 * 8, n - done, &sum);
  if (checksum != nullptr) *checksum = static_cast<unsigned char>(sum & 0x7F);
  return length;
}

int decode_midi(const unsigned char* packed, unsigned char* dest, int n) {
  int produced = 0;
  unsigned char header = 0;
  for (int i = 0; i < n; ++i) {
    const int position = i % 8;  // 0 is a group header, 1..7 its data bytes
    if (position == 0) {
      header = packed[i];
    } else {
      const unsigned char top = static_cast<unsigned char>(((header >> (position - 1)) & 1) << 7);
      dest[produced++] = static_cast<unsigned char>((packed[i] & 0x7F) | top);
    }
  }
  return produced;
}
