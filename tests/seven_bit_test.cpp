// Seven-bit packing: the packed form, its length, its checksum and the way back.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/seven_bit.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Packs into a buffer of exactly the packed length (the address sanitizer
// catches a write past it) and returns the packed bytes.
Bytes pack(const Bytes& source, unsigned char* checksum = nullptr, int* result = nullptr) {
  Bytes out(static_cast<size_t>(packed_length(static_cast<int>(source.size()))));
  const int r = encode_midi(source.data(), out.data(), static_cast<int>(source.size()), checksum);
  if (result != nullptr) *result = r;
  return out;
}

Bytes unpack(const Bytes& packed, int* result = nullptr) {
  const int n = static_cast<int>(packed.size());
  Bytes out(static_cast<size_t>(n - (n + 7) / 8));
  const int r = decode_midi(packed.data(), out.data(), n);
  if (result != nullptr) *result = r;
  return out;
}

// The packed form built bit by bit from its description, independently of
// the packing code: a header per group of up to seven, then the low bits.
Bytes reference_pack(const Bytes& source) {
  Bytes out;
  for (size_t start = 0; start < source.size(); start += 7) {
    const size_t end = std::min(source.size(), start + 7);
    unsigned header = 0;
    for (size_t i = start; i < end; ++i) {
      if (source[i] >= 0x80) header += 1u << (i - start);
    }
    out.push_back(static_cast<unsigned char>(header));
    for (size_t i = start; i < end; ++i) out.push_back(static_cast<unsigned char>(source[i] % 128));
  }
  return out;
}

unsigned sum_mod_128(const Bytes& bytes) {
  unsigned long total = 0;
  for (const unsigned char b : bytes) total += b;
  return static_cast<unsigned>(total % 128);
}

Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<unsigned char>(rng());
  return out;
}

}  // namespace

TEST(SevenBitPack, ExampleOfThreeBytes) {
  unsigned char checksum = 0xEE;
  int result = 0;
  const Bytes packed = pack({0x81, 0x02, 0xFF}, &checksum, &result);
  EXPECT_EQ(result, 4);
  EXPECT_EQ(packed, (Bytes{0x05, 0x01, 0x02, 0x7F}));
  EXPECT_EQ(checksum, 0x07);
}

TEST(SevenBitPack, PackedLengths) {
  int result = 0;
  EXPECT_EQ(pack(Bytes(1, 0x33), nullptr, &result).size(), 2u);
  EXPECT_EQ(result, 2);
  EXPECT_EQ(pack(Bytes(7, 0x33), nullptr, &result).size(), 8u);
  EXPECT_EQ(result, 8);
  EXPECT_EQ(pack(Bytes(8, 0x33), nullptr, &result).size(), 10u);
  EXPECT_EQ(result, 10);
  EXPECT_EQ(pack(Bytes(14, 0x33), nullptr, &result).size(), 16u);
  EXPECT_EQ(result, 16);
  EXPECT_EQ(packed_length(1), 2);
  EXPECT_EQ(packed_length(6), 7);
  EXPECT_EQ(packed_length(7), 8);
  EXPECT_EQ(packed_length(8), 10);
  EXPECT_EQ(packed_length(8192), 9363);
}

TEST(SevenBitPack, OneByte) {
  unsigned char checksum = 0;
  EXPECT_EQ(pack({0x80}, &checksum), (Bytes{0x01, 0x00}));
  EXPECT_EQ(checksum, 0x01);
  EXPECT_EQ(pack({0x7F}, &checksum), (Bytes{0x00, 0x7F}));
  EXPECT_EQ(checksum, 0x7F);
  EXPECT_EQ(pack({0xFF}, &checksum), (Bytes{0x01, 0x7F}));
  EXPECT_EQ(checksum, 0x00);  // 0x80 mod 128
}

TEST(SevenBitPack, EightBytesAreAFullGroupThenAHeaderAndOneByte) {
  const Bytes packed = pack({0x80, 1, 2, 3, 4, 5, 0x86, 0x87});
  EXPECT_EQ(packed, (Bytes{0x41, 0x00, 1, 2, 3, 4, 5, 0x06, 0x01, 0x07}));
}

TEST(SevenBitPack, BytesBelow0x80PassUnchanged) {
  Bytes source(100);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<unsigned char>(i % 128);
  const Bytes packed = pack(source);
  ASSERT_EQ(packed.size(), 115u);
  size_t s = 0;
  for (size_t i = 0; i < packed.size(); ++i) {
    if (i % 8 == 0) {
      EXPECT_EQ(packed[i], 0) << i;
    } else {
      EXPECT_EQ(packed[i], source[s++]) << i;
    }
  }
  EXPECT_EQ(s, source.size());
}

TEST(SevenBitPack, AllOnesGiveFullHeadersAndShortLastHeader) {
  for (int n = 1; n <= 30; ++n) {
    SCOPED_TRACE(n);
    const Bytes packed = pack(Bytes(static_cast<size_t>(n), 0xFF));
    const int k = n % 7 == 0 ? 7 : n % 7;  // bytes in the last group
    for (size_t i = 0; i < packed.size(); ++i) {
      if (i % 8 != 0) {
        EXPECT_EQ(packed[i], 0x7F);
      } else if (i + 8 < packed.size() || k == 7) {
        EXPECT_EQ(packed[i], 0x7F);  // a full group
      } else {
        EXPECT_EQ(packed[i], (1u << k) - 1);  // the last, short group
      }
    }
  }
}

TEST(SevenBitPack, EveryPackedByteHasBit7Clear) {
  const Bytes source = random_bytes(8192, 3);
  for (const unsigned char b : pack(source)) ASSERT_LT(b, 0x80);
}

TEST(SevenBitPack, Block8192IsTo9363WithItsChecksum) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    const Bytes source = random_bytes(8192, seed);
    unsigned char checksum = 0xFF;
    int result = 0;
    const Bytes packed = pack(source, &checksum, &result);
    EXPECT_EQ(result, 9363);
    EXPECT_EQ(packed, reference_pack(source));
    EXPECT_EQ(checksum, sum_mod_128(packed));
    EXPECT_LT(checksum, 128);
    // The last header holds only the top bits of the last two source bytes.
    const unsigned last_header = packed[9360];
    EXPECT_EQ(last_header, (source[8190] >> 7) | ((source[8191] >> 7) << 1));
  }
  // The checksum is taken over the headers too: all ones make 1170 full
  // headers of 0x7F, a last header of 3 and 8192 bytes of 0x7F.
  unsigned char checksum = 0;
  const Bytes packed = pack(Bytes(8192, 0xFF), &checksum);
  EXPECT_EQ(checksum, (1170u * 0x7F + 3u + 8192u * 0x7F) % 128);
  EXPECT_EQ(checksum, sum_mod_128(packed));
}

TEST(SevenBitPack, MatchesTheReferenceForManyLengthsAndPatterns) {
  const Bytes all = random_bytes(300, 77);
  for (int n = 1; n <= 300; ++n) {
    const Bytes source(all.begin(), all.begin() + n);
    unsigned char checksum = 0xFF;
    const Bytes packed = pack(source, &checksum);
    ASSERT_EQ(packed, reference_pack(source)) << n;
    ASSERT_EQ(checksum, sum_mod_128(packed)) << n;
  }
  // Every single top bit in every position of a group.
  for (int pos = 0; pos < 21; ++pos) {
    Bytes source(21, 0x2A);
    source[static_cast<size_t>(pos)] = 0xAA;
    ASSERT_EQ(pack(source), reference_pack(source)) << pos;
  }
}

TEST(SevenBitPack, NullChecksumChangesNothingElse) {
  for (const int n : {1, 6, 7, 8, 100, 8192}) {
    const Bytes source = random_bytes(static_cast<size_t>(n), static_cast<unsigned>(n));
    unsigned char checksum = 0;
    int with = 0, without = 0;
    const Bytes a = pack(source, &checksum, &with);
    const Bytes b = pack(source, nullptr, &without);
    EXPECT_EQ(a, b) << n;
    EXPECT_EQ(with, without) << n;
  }
}

TEST(SevenBitPack, NothingWrittenPastThePackedLength) {
  const Bytes all = random_bytes(200, 9);
  for (int n = 1; n <= 200; ++n) {
    const int length = packed_length(n);
    Bytes dest(static_cast<size_t>(length) + 32, 0xA5);
    Bytes source(static_cast<size_t>(n) + 32, 0xFF);  // bytes past n must not be read into the result
    std::memcpy(source.data(), all.data(), static_cast<size_t>(n));
    unsigned char checksum = 0;
    ASSERT_EQ(encode_midi(source.data(), dest.data(), n, &checksum), length);
    for (size_t i = static_cast<size_t>(length); i < dest.size(); ++i) {
      ASSERT_EQ(dest[i], 0xA5) << "n " << n << " byte " << i;
    }
    const Bytes exact(all.begin(), all.begin() + n);
    ASSERT_TRUE(std::equal(dest.begin(), dest.begin() + length, reference_pack(exact).begin())) << n;
  }
}

TEST(SevenBitPack, WorksAtAnyAlignment) {
  const Bytes source = random_bytes(8192 + 16, 5);
  const Bytes expected = reference_pack(Bytes(source.begin() + 3, source.begin() + 3 + 8192));
  for (size_t in_offset = 0; in_offset < 8; ++in_offset) {
    for (size_t out_offset = 0; out_offset < 8; ++out_offset) {
      Bytes dest(9363 + 8, 0);
      const Bytes shifted(source.begin() + 3, source.begin() + 3 + 8192 + 8);
      Bytes in(8192 + 8);
      std::memcpy(in.data() + in_offset, shifted.data(), 8192);
      ASSERT_EQ(encode_midi(in.data() + in_offset, dest.data() + out_offset, 8192, nullptr), 9363);
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), dest.begin() + static_cast<long>(out_offset)))
          << in_offset << " " << out_offset;
    }
  }
}

TEST(SevenBitPack, WideGroupsAreWholeGroupsOfTheSamePackedForm) {
  const Bytes all = random_bytes(400, 12);
  for (int n = 1; n <= 400; ++n) {
    const Bytes source(all.begin(), all.begin() + n);
    Bytes dest(static_cast<size_t>(packed_length(n)), 0xA5);
    unsigned sum = 5;
    const int done = pack_wide_groups(source.data(), dest.data(), n, &sum);
    ASSERT_EQ(done % 7, 0) << n;
    ASSERT_GE(done, 0) << n;
    ASSERT_LT(done, n) << n;  // at least one byte is left for the last header
    const Bytes expected = reference_pack(source);
    const Bytes wide(dest.begin(), dest.begin() + done / 7 * 8);
    ASSERT_TRUE(std::equal(wide.begin(), wide.end(), expected.begin())) << n;
    unsigned total = 5;
    for (const unsigned char b : wide) total += b;
    ASSERT_EQ(sum % 256, total % 256) << n;
    // Bytes beyond the whole groups done are left alone.
    for (size_t i = wide.size(); i < dest.size(); ++i) ASSERT_EQ(dest[i], 0xA5) << n;
  }
}

// Where the processor has AVX2 the wide path must really do the work: all but
// the last group of a whole block (the last one is left for the byte loop).
TEST(SevenBitPack, WidePathRunsWhereTheProcessorHasAvx2) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "this processor has no AVX2";
  const Bytes source = random_bytes(8192, 3);
  Bytes dest(static_cast<size_t>(packed_length(8192)), 0);
  unsigned sum = 0;
  const int done = pack_wide_groups(source.data(), dest.data(), 8192, &sum);
  EXPECT_GE(done, 8192 - 7 * 8);
  EXPECT_LT(done, 8192);
#else
  GTEST_SKIP() << "no wide packing on this compiler or processor";
#endif
}

TEST(SevenBitUnpack, NinePackedBytesGiveSeven) {
  const Bytes packed = {0x7F, 1, 2, 3, 4, 5, 6, 7, 0x7F};
  int result = 0;
  const Bytes out = unpack(packed, &result);
  EXPECT_EQ(result, 7);
  EXPECT_EQ(out, (Bytes{0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87}));
}

TEST(SevenBitUnpack, ExampleBack) {
  EXPECT_EQ(unpack({0x05, 0x01, 0x02, 0x7F}), (Bytes{0x81, 0x02, 0xFF}));
}

TEST(SevenBitUnpack, Bit7OfDataBytesIsIgnored) {
  EXPECT_EQ(unpack({0x02, 0xFF, 0x80}), (Bytes{0x7F, 0x80}));
}

TEST(SevenBitUnpack, ProducedLengths) {
  int result = 0;
  EXPECT_EQ(unpack(Bytes(1, 0), &result).size(), 0u);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(unpack(Bytes(2, 0), &result).size(), 1u);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(unpack(Bytes(8, 0), &result).size(), 7u);
  EXPECT_EQ(result, 7);
  EXPECT_EQ(unpack(Bytes(10, 0), &result).size(), 8u);
  EXPECT_EQ(result, 8);
  EXPECT_EQ(unpack(Bytes(9363, 0), &result).size(), 8192u);
  EXPECT_EQ(result, 8192);
}

TEST(SevenBitUnpack, NothingWrittenPastTheProducedLength) {
  const Bytes packed = pack(random_bytes(50, 4));
  for (int n = 1; n <= static_cast<int>(packed.size()); ++n) {
    const int produced = n - (n + 7) / 8;
    Bytes dest(static_cast<size_t>(produced) + 16, 0xA5);
    ASSERT_EQ(decode_midi(packed.data(), dest.data(), n), produced);
    for (size_t i = static_cast<size_t>(produced); i < dest.size(); ++i) ASSERT_EQ(dest[i], 0xA5) << n;
  }
}

TEST(SevenBitRoundTrip, EveryLengthUpTo20000) {
  const Bytes all = random_bytes(20000, 2024);
  Bytes packed(static_cast<size_t>(packed_length(20000)));
  Bytes back(20000);
  for (int n = 1; n <= 20000; ++n) {
    const int length = encode_midi(all.data(), packed.data(), n, nullptr);
    ASSERT_EQ(length, packed_length(n));
    ASSERT_EQ(decode_midi(packed.data(), back.data(), length), n);
    ASSERT_EQ(std::memcmp(back.data(), all.data(), static_cast<size_t>(n)), 0) << n;
  }
}

TEST(SevenBitRoundTrip, ExtremePatterns) {
  for (const unsigned char fill : {0x00, 0x7F, 0x80, 0xFF, 0x55, 0xAA}) {
    for (const int n : {1, 2, 6, 7, 8, 13, 14, 15, 8192}) {
      const Bytes source(static_cast<size_t>(n), fill);
      ASSERT_EQ(unpack(pack(source)), source) << int(fill) << " " << n;
    }
  }
}
