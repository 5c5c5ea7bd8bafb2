#include "engine/seven_bit.h"

int encode_midi(const unsigned char* source, unsigned char* dest, int n, unsigned char* checksum) {
  unsigned char* header = dest;  // reserved for the current group's top bits
  unsigned char* out = dest + 1;
  unsigned char collector = 0;
  unsigned char sum = 0;  // 8 bits are enough: only the low seven are delivered
  int in_group = 0;
  for (int i = 0; i < n; ++i) {
    const unsigned char low = source[i] & 0x7F;
    *out++ = low;
    sum = static_cast<unsigned char>(sum + low);
    collector = static_cast<unsigned char>(collector | ((source[i] >> 7) << in_group));
    if (++in_group == 7 && i + 1 < n) {
      *header = collector;
      sum = static_cast<unsigned char>(sum + collector);
      collector = 0;
      in_group = 0;
      header = out++;
    }
  }
  *header = collector;
  sum = static_cast<unsigned char>(sum + collector);
  if (checksum != nullptr) *checksum = sum & 0x7F;
  return static_cast<int>(out - dest);
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
