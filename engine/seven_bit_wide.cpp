// The packing of whole groups four at a time with 256-bit vector instructions,
// used when the processor has AVX2 (checked once at run time). Elsewhere, and
// with compilers other than GCC and Clang, no group is done here and the
// byte-at-a-time packing does all.

#include "engine/seven_bit.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define XR_WIDE_PACKING 1
#include <immintrin.h>
#endif

#if defined(XR_WIDE_PACKING)

namespace {

#define XR_AVX2 __attribute__((target("avx2")))

// Four groups: 28 source bytes in, 32 packed bytes out, and those packed bytes
// returned for the checksum. Each 128-bit half of the register takes two groups
// (14 bytes); a byte shuffle spreads them to bytes 1..7 and 9..15 with zeros
// where the headers go. A header is the sum over its group of (top bit set ?
// weight : 0), weights 1, 2, 4 ... 64, which the sum-of-absolute-differences
// instruction adds up in place, per 8 bytes. Reads 30 source bytes.
XR_AVX2 inline __m256i pack_four(const unsigned char* source, unsigned char* dest) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i spread = _mm256_setr_epi8(-128, 0, 1, 2, 3, 4, 5, 6, -128, 7, 8, 9, 10, 11, 12, 13,  //
                                          -128, 0, 1, 2, 3, 4, 5, 6, -128, 7, 8, 9, 10, 11, 12, 13);
  const __m256i weights = _mm256_setr_epi8(0, 1, 2, 4, 8, 16, 32, 64, 0, 1, 2, 4, 8, 16, 32, 64,  //
                                           0, 1, 2, 4, 8, 16, 32, 64, 0, 1, 2, 4, 8, 16, 32, 64);
  const __m256i low7 = _mm256_setr_epi8(0, 127, 127, 127, 127, 127, 127, 127, 0, 127, 127, 127, 127, 127, 127,
                                        127, 0, 127, 127, 127, 127, 127, 127, 127, 0, 127, 127, 127, 127, 127,
                                        127, 127);
  const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
  const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 14));
  const __m256i both = _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
  const __m256i data = _mm256_shuffle_epi8(both, spread);
  const __m256i top_set = _mm256_cmpgt_epi8(zero, data);  // bytes with bit 7 set
  const __m256i headers = _mm256_sad_epu8(_mm256_and_si256(top_set, weights), zero);
  const __m256i packed = _mm256_or_si256(_mm256_and_si256(data, low7), headers);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest), packed);
  return packed;
}

XR_AVX2 int pack_avx2(const unsigned char* source, unsigned char* dest, int n, unsigned* sum) {
  // Each byte of a total adds up the packed bytes at its place modulo 256;
  // only the sum of all modulo 128 is wanted, so the wrap does no harm.
  const __m256i zero = _mm256_setzero_si256();
  __m256i totals = zero;
  __m256i more = zero;
  int done = 0;
  unsigned char* out = dest;
  while (n - done >= 58) {  // eight groups at a time: the last load reaches 58 bytes ahead
    totals = _mm256_add_epi8(totals, pack_four(source + done, out));
    more = _mm256_add_epi8(more, pack_four(source + done + 28, out + 32));
    out += 64;
    done += 56;
  }
  while (n - done >= 30) {
    totals = _mm256_add_epi8(totals, pack_four(source + done, out));
    out += 32;
    done += 28;
  }
  const __m256i per_quarter = _mm256_sad_epu8(_mm256_add_epi8(totals, more), zero);
  const __m128i halves =
      _mm_add_epi64(_mm256_castsi256_si128(per_quarter), _mm256_extracti128_si256(per_quarter, 1));
  *sum += static_cast<unsigned>(_mm_cvtsi128_si32(halves)) +
          static_cast<unsigned>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(halves, halves)));
  return done;
}

bool have_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}

}  // namespace

int pack_wide_groups(const unsigned char* source, unsigned char* dest, int n, unsigned* sum) {
  static const bool avx2 = have_avx2();
  return avx2 ? pack_avx2(source, dest, n, sum) : 0;
}

#else

int pack_wide_groups(const unsigned char*, unsigned char*, int, unsigned*) { return 0; }

#endif
