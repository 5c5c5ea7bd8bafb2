#pragma once
// Handing a path from a second copy of the program to the running one.
//
// The second copy posts the path in pieces of four bytes: WM_COMMAND 211 with the
// piece's byte offset in the high word of wParam and the four bytes in lParam
// (the byte at the offset in the lowest eight bits). The last piece always holds
// the terminating zero. The running copy reassembles the pieces in its buffer.

#include <cstdint>

constexpr int kHandoverBufferSize = 260;  // rxw_filename
constexpr int kHandoverMaxPieces = kHandoverBufferSize / 4;

struct HandoverPiece {
  unsigned offset;     // byte offset of the piece in the path (the high word of wParam)
  std::uint32_t bytes; // four bytes of the path, the first in the low eight bits
};

// Splits `path` (zero-terminated, shorter than kHandoverBufferSize) into its pieces:
// length / 4 + 1 of them, the last one starting at or holding the terminator.
// Bytes after the terminator are sent as zero. Returns the number of pieces, or 0
// when the path is empty or too long (nothing is sent then).
int handover_split(const char* path, HandoverPiece* pieces, int max_pieces);

// The running copy's side. One instance lives for the whole run.
struct HandoverBuffer {
  char rxw_filename[kHandoverBufferSize];
  // Which bytes arrived since the last complete path.
  unsigned char received[kHandoverBufferSize];
};

enum HandoverResult : int {
  kHandoverMore = 0,      // stored; more pieces follow
  kHandoverComplete = 1,  // a whole path is in rxw_filename
  kHandoverDropped = -1,  // the piece or the path it ended was unusable and is dropped
};

void handover_reset(HandoverBuffer* buffer);

// Stores one piece. A piece whose four bytes would reach past the buffer is
// dropped without writing anything. A piece with a zero byte ends the path: it
// is complete when every byte before the terminator arrived since the last end
// (pieces in any order) and the path is not empty; otherwise it is dropped.
// Either way the next path starts afresh.
int handover_receive(HandoverBuffer* buffer, unsigned offset, std::uint32_t bytes);
