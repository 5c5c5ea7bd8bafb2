#include "ui/handover.h"

#include <cstring>

int handover_split(const char* path, HandoverPiece* pieces, int max_pieces) {
  const std::size_t length = strnlen(path, kHandoverBufferSize);
  if (length == 0 || length >= static_cast<std::size_t>(kHandoverBufferSize)) return 0;
  const int count = static_cast<int>(length / 4 + 1);
  if (count > max_pieces) return 0;
  for (int i = 0; i < count; ++i) {
    const std::size_t offset = static_cast<std::size_t>(i) * 4;
    std::uint32_t bytes = 0;
    for (std::size_t b = 0; b < 4 && offset + b < length; ++b) {
      bytes |= static_cast<std::uint32_t>(static_cast<unsigned char>(path[offset + b])) << (8 * b);
    }
    pieces[i].offset = static_cast<unsigned>(offset);
    pieces[i].bytes = bytes;
  }
  return count;
}

void handover_reset(HandoverBuffer* buffer) {
  std::memset(buffer->rxw_filename, 0, sizeof buffer->rxw_filename);
  std::memset(buffer->received, 0, sizeof buffer->received);
}

int handover_receive(HandoverBuffer* buffer, unsigned offset, std::uint32_t bytes) {
  if (offset > static_cast<unsigned>(kHandoverBufferSize - 4)) return kHandoverDropped;
  bool terminated = false;
  for (unsigned b = 0; b < 4; ++b) {
    const char c = static_cast<char>((bytes >> (8 * b)) & 0xFF);
    buffer->rxw_filename[offset + b] = c;
    buffer->received[offset + b] = 1;
    if (c == '\0') terminated = true;
  }
  if (!terminated) return kHandoverMore;

  // The path ends at the first zero in the buffer, which lies at or before this
  // piece's zero; every byte up to it must belong to this path.
  const std::size_t length = strnlen(buffer->rxw_filename, kHandoverBufferSize);
  bool whole = length > 0 && length < static_cast<std::size_t>(kHandoverBufferSize);
  for (std::size_t i = 0; whole && i <= length; ++i) {
    if (!buffer->received[i]) whole = false;
  }
  std::memset(buffer->received, 0, sizeof buffer->received);
  return whole ? kHandoverComplete : kHandoverDropped;
}
