// Matching thirty-two bytes at a time with AVX2. Built for AVX2 and only
// called once the processor is known to run it.
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || \
    defined(_M_IX86)
#include <immintrin.h>

#include "polarity_simd.hpp"

namespace frennick::detail {
namespace {

struct Avx2 {
  using Vec = __m256i;
  static constexpr std::size_t kWidth = 32;
  static Vec zero() { return _mm256_setzero_si256(); }
  static Vec splat(int byte) {
    return _mm256_set1_epi8(static_cast<char>(byte));
  }
  static Vec load(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static void store(std::uint8_t* p, Vec v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
  }
  static Vec bitXor(Vec a, Vec b) { return _mm256_xor_si256(a, b); }
  static Vec bitAnd(Vec a, Vec b) { return _mm256_and_si256(a, b); }
  // Lanes of `yes` where `mask` is all ones, of `no` elsewhere.
  static Vec select(Vec mask, Vec yes, Vec no) {
    return _mm256_blendv_epi8(no, yes, mask);
  }
  static Vec greater(Vec a, Vec b) { return _mm256_cmpgt_epi8(a, b); }
  static bool none(Vec v) { return _mm256_testz_si256(v, v) != 0; }
  static Vec addBytes(Vec a, Vec b) { return _mm256_add_epi8(a, b); }
  static Vec subBytes(Vec a, Vec b) { return _mm256_sub_epi8(a, b); }
  // Set bits per byte: look each nibble up in a table of sixteen counts.
  static Vec bitCounts(Vec x) {
    const Vec counts =
        _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1,
                         1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const Vec low = _mm256_and_si256(x, splat(0x0F));
    const Vec high = _mm256_and_si256(_mm256_srli_epi16(x, 4), splat(0x0F));
    return _mm256_add_epi8(_mm256_shuffle_epi8(counts, low),
                           _mm256_shuffle_epi8(counts, high));
  }
  static Vec swapHalves(Vec c) {
    return _mm256_or_si256(
        _mm256_and_si256(_mm256_slli_epi16(c, 4), splat(0xF0)),
        _mm256_and_si256(_mm256_srli_epi16(c, 4), splat(0x0F)));
  }
  static Vec addSums(Vec totals, Vec bytes) {
    return _mm256_add_epi64(totals, _mm256_sad_epu8(bytes, zero()));
  }
  static int total(Vec sums) {
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sums),
                                       _mm256_extracti128_si256(sums, 1));
    return _mm_cvtsi128_si32(half) +
           _mm_cvtsi128_si32(_mm_unpackhi_epi64(half, half));
  }
};

}  // namespace

int matchAvx2(const CartPage& previous, CartPage& current, RunTally& tally,
              PageFlips& flips) noexcept {
  return matchVectorwise<Avx2>(previous, current, tally, flips);
}

}  // namespace frennick::detail
#endif
