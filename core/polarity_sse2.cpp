// Matching sixteen bytes at a time with SSE2, which every x86-64 has; on
// 32-bit x86 it is only called once the processor is known to have it.
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || \
    defined(_M_IX86)
#include <emmintrin.h>

#include "polarity_simd.hpp"

namespace frennick::detail {
namespace {

struct Sse2 {
  using Vec = __m128i;
  static constexpr std::size_t kWidth = 16;
  static Vec zero() { return _mm_setzero_si128(); }
  static Vec splat(int byte) { return _mm_set1_epi8(static_cast<char>(byte)); }
  static Vec load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static void store(std::uint8_t* p, Vec v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  }
  static Vec bitXor(Vec a, Vec b) { return _mm_xor_si128(a, b); }
  static Vec bitAnd(Vec a, Vec b) { return _mm_and_si128(a, b); }
  // Lanes of `yes` where `mask` is all ones, of `no` elsewhere.
  static Vec select(Vec mask, Vec yes, Vec no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
  }
  static Vec greater(Vec a, Vec b) { return _mm_cmpgt_epi8(a, b); }
  static bool none(Vec v) { return _mm_movemask_epi8(v) == 0; }
  static Vec addBytes(Vec a, Vec b) { return _mm_add_epi8(a, b); }
  static Vec subBytes(Vec a, Vec b) { return _mm_sub_epi8(a, b); }
  // Set bits per byte, the classic way: pairs, nibbles, bytes. The 16-bit
  // shifts carry bits across bytes; the masks drop them again.
  static Vec bitCounts(Vec x) {
    const Vec pairs =
        _mm_sub_epi8(x, _mm_and_si128(_mm_srli_epi16(x, 1), splat(0x55)));
    const Vec nibbles =
        _mm_add_epi8(_mm_and_si128(pairs, splat(0x33)),
                     _mm_and_si128(_mm_srli_epi16(pairs, 2), splat(0x33)));
    return _mm_and_si128(_mm_add_epi8(nibbles, _mm_srli_epi16(nibbles, 4)),
                         splat(0x0F));
  }
  static Vec swapHalves(Vec c) {
    return _mm_or_si128(_mm_and_si128(_mm_slli_epi16(c, 4), splat(0xF0)),
                        _mm_and_si128(_mm_srli_epi16(c, 4), splat(0x0F)));
  }
  static Vec addSums(Vec totals, Vec bytes) {
    return _mm_add_epi64(totals, _mm_sad_epu8(bytes, zero()));
  }
  static int total(Vec sums) {
    return _mm_cvtsi128_si32(sums) +
           _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums));
  }
};

}  // namespace

int matchSse2(const CartPage& previous, CartPage& current, RunTally& tally,
              PageFlips& flips) noexcept {
  return matchVectorwise<Sse2>(previous, current, tally, flips);
}

}  // namespace frennick::detail
#endif
