#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ui/handover.h"
#include "ui/main_window_logic.h"

namespace {

std::string reassemble(const std::string& path, int* pieces_out = nullptr) {
  HandoverPiece pieces[kHandoverMaxPieces];
  const int n = handover_split(path.c_str(), pieces, kHandoverMaxPieces);
  if (pieces_out) *pieces_out = n;
  HandoverBuffer buffer;
  handover_reset(&buffer);
  int result = kHandoverMore;
  for (int i = 0; i < n; ++i) {
    result = handover_receive(&buffer, pieces[i].offset, pieces[i].bytes);
    if (i + 1 < n) {
      EXPECT_EQ(result, kHandoverMore) << "piece " << i;
    }
  }
  return result == kHandoverComplete ? std::string(buffer.rxw_filename) : std::string("<none>");
}

}  // namespace

TEST(HandoverSplit, EightCharactersTakeThreePiecesTheLastStartingWithTheTerminator) {
  HandoverPiece pieces[kHandoverMaxPieces];
  ASSERT_EQ(handover_split("C:\\A.SYS", pieces, kHandoverMaxPieces), 3);
  EXPECT_EQ(pieces[0].offset, 0u);
  EXPECT_EQ(pieces[1].offset, 4u);
  EXPECT_EQ(pieces[2].offset, 8u);
  // "C:\A": C in the low eight bits.
  EXPECT_EQ(pieces[0].bytes, 0x415C3A43u);
  EXPECT_EQ(pieces[2].bytes, 0u);
}

TEST(HandoverSplit, NineCharactersTakeThreePieces) {
  HandoverPiece pieces[kHandoverMaxPieces];
  ASSERT_EQ(handover_split("C:\\AB.SYS", pieces, kHandoverMaxPieces), 3);
  EXPECT_EQ(pieces[2].bytes, static_cast<std::uint32_t>('S'));
}

TEST(HandoverSplit, EmptyOrOverlongPathSendsNothing) {
  HandoverPiece pieces[kHandoverMaxPieces];
  EXPECT_EQ(handover_split("", pieces, kHandoverMaxPieces), 0);
  const std::string longest(259, 'x');
  EXPECT_EQ(handover_split(longest.c_str(), pieces, kHandoverMaxPieces), 65);
  EXPECT_EQ(pieces[64].offset, 256u);
  char too_long[300];
  std::memset(too_long, 'x', sizeof too_long - 1);
  too_long[sizeof too_long - 1] = '\0';
  EXPECT_EQ(handover_split(too_long, pieces, kHandoverMaxPieces), 0);
}

TEST(HandoverReassembly, RoundTripsPathsOfEveryLengthUpToTheLongest) {
  for (int length = 1; length <= 259; ++length) {
    std::string path;
    for (int i = 0; i < length; ++i) path += static_cast<char>('A' + i % 26);
    EXPECT_EQ(reassemble(path), path) << length;
  }
}

TEST(HandoverReassembly, KeepsBytesAboveSeventyFiveAsTheyAre) {
  const std::string path = "C:\\\xe6\x9b\xb4\xe6\x96\xb0\\upd.sys";
  EXPECT_EQ(reassemble(path), path);
}

TEST(HandoverReassembly, SecondPathAfterALongerOneHasNoLeftovers) {
  HandoverBuffer buffer;
  handover_reset(&buffer);
  HandoverPiece pieces[kHandoverMaxPieces];
  for (const char* path : {"C:\\longer\\path\\file.sys", "D:\\x.pcm"}) {
    const int n = handover_split(path, pieces, kHandoverMaxPieces);
    int result = kHandoverMore;
    for (int i = 0; i < n; ++i) result = handover_receive(&buffer, pieces[i].offset, pieces[i].bytes);
    ASSERT_EQ(result, kHandoverComplete);
    EXPECT_STREQ(buffer.rxw_filename, path);
  }
}

TEST(HandoverHostileSender, PieceReachingPastTheBufferIsDroppedUnwritten) {
  HandoverBuffer buffer;
  handover_reset(&buffer);
  HandoverBuffer before = buffer;
  for (unsigned offset : {257u, 258u, 259u, 260u, 1000u, 65535u}) {
    EXPECT_EQ(handover_receive(&buffer, offset, 0x41414141u), kHandoverDropped) << offset;
  }
  EXPECT_EQ(std::memcmp(&before, &buffer, sizeof buffer), 0);
  EXPECT_EQ(handover_receive(&buffer, 256u, 0x41414141u), kHandoverMore);
}

TEST(HandoverHostileSender, NoTerminatorNeverCompletes) {
  HandoverBuffer buffer;
  handover_reset(&buffer);
  for (unsigned round = 0; round < 3; ++round) {
    for (unsigned offset = 0; offset <= 256; offset += 4) {
      EXPECT_EQ(handover_receive(&buffer, offset, 0x58585858u), kHandoverMore);
    }
  }
  // A terminator in the last slot after all that still yields a bounded path.
  EXPECT_EQ(handover_receive(&buffer, 256, 0x00585858u), kHandoverComplete);
  EXPECT_EQ(std::strlen(buffer.rxw_filename), 259u);
}

TEST(HandoverHostileSender, TerminatorBeforeTheOtherPiecesDropsThePath) {
  HandoverBuffer buffer;
  handover_reset(&buffer);
  HandoverPiece pieces[kHandoverMaxPieces];
  const int n = handover_split("C:\\first.sys", pieces, kHandoverMaxPieces);
  for (int i = 0; i < n; ++i) handover_receive(&buffer, pieces[i].offset, pieces[i].bytes);
  // Out of order: the terminator piece of a second path comes first. The old
  // path's bytes must not be taken as part of the new one.
  const int m = handover_split("C:\\other.sys", pieces, kHandoverMaxPieces);
  EXPECT_EQ(handover_receive(&buffer, pieces[m - 1].offset, pieces[m - 1].bytes), kHandoverDropped);
  // A well-ordered path afterwards works.
  for (int i = 0; i < m; ++i) {
    const int result = handover_receive(&buffer, pieces[i].offset, pieces[i].bytes);
    EXPECT_EQ(result, i + 1 < m ? kHandoverMore : kHandoverComplete);
  }
  EXPECT_STREQ(buffer.rxw_filename, "C:\\other.sys");
}

TEST(HandoverHostileSender, PiecesInReverseOrderAreAcceptedWhenAllArrive) {
  HandoverBuffer buffer;
  handover_reset(&buffer);
  HandoverPiece pieces[kHandoverMaxPieces];
  const int n = handover_split("C:\\abcdefgh.sys", pieces, kHandoverMaxPieces);
  // Everything but the terminator piece, backwards, then the terminator piece.
  for (int i = n - 2; i >= 0; --i) {
    EXPECT_EQ(handover_receive(&buffer, pieces[i].offset, pieces[i].bytes), kHandoverMore);
  }
  EXPECT_EQ(handover_receive(&buffer, pieces[n - 1].offset, pieces[n - 1].bytes), kHandoverComplete);
  EXPECT_STREQ(buffer.rxw_filename, "C:\\abcdefgh.sys");
}

TEST(HandoverHostileSender, EmptyPathIsDropped) {
  HandoverBuffer buffer;
  handover_reset(&buffer);
  EXPECT_EQ(handover_receive(&buffer, 0, 0u), kHandoverDropped);
}

TEST(HandoverHostileSender, OddOffsetsStayInsideTheBuffer) {
  HandoverBuffer buffer;
  handover_reset(&buffer);
  EXPECT_EQ(handover_receive(&buffer, 1, 0x43434343u), kHandoverMore);
  EXPECT_EQ(handover_receive(&buffer, 0, 0x00000041u), kHandoverComplete);
  EXPECT_STREQ(buffer.rxw_filename, "A");
  EXPECT_EQ(handover_receive(&buffer, 255, 0x00434343u), kHandoverDropped);  // bytes 0..254 missing
}

TEST(HandoverMainWindow, PathArrivingDuringATransferIsDroppedAndALaterOneStarts) {
  MainWindowState state;
  mw_create(&state);
  mw_transfer_started(&state);
  HandoverPiece pieces[kHandoverMaxPieces];
  int n = handover_split("C:\\busy.sys", pieces, kHandoverMaxPieces);
  int start = 0;
  for (int i = 0; i < n; ++i) start |= mw_handover_piece(&state, pieces[i].offset, pieces[i].bytes);
  EXPECT_EQ(start, 0);
  mw_transfer_ended(&state, 1);
  n = handover_split("C:\\idle.sys", pieces, kHandoverMaxPieces);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(mw_handover_piece(&state, pieces[i].offset, pieces[i].bytes), i + 1 == n ? 1 : 0);
  }
  EXPECT_STREQ(state.handover.rxw_filename, "C:\\idle.sys");
}
