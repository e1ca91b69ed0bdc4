// Matching sixty-four bytes at a time with AVX-512 (BW for bytes, BITALG for
// counting their bits). Built for those and only called once the processor
// is known to run them.
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || \
    defined(_M_IX86)
#include <immintrin.h>

#include "polarity_simd.hpp"

namespace frennick::detail {
namespace {

// Comparisons give a mask register; the template wants lanes of all ones.
struct Avx512 {
  using Vec = __m512i;
  static constexpr std::size_t kWidth = 64;
  static Vec zero() { return _mm512_setzero_si512(); }
  static Vec splat(int byte) {
    return _mm512_set1_epi8(static_cast<char>(byte));
  }
  static Vec load(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
  static void store(std::uint8_t* p, Vec v) { _mm512_storeu_si512(p, v); }
  static Vec bitXor(Vec a, Vec b) { return _mm512_xor_si512(a, b); }
  static Vec bitAnd(Vec a, Vec b) { return _mm512_and_si512(a, b); }
  // Lanes of `yes` where `mask` is all ones, of `no` elsewhere.
  static Vec select(Vec mask, Vec yes, Vec no) {
    return _mm512_ternarylogic_epi32(mask, yes, no, 0xCA);
  }
  static Vec greater(Vec a, Vec b) {
    return _mm512_movm_epi8(_mm512_cmpgt_epi8_mask(a, b));
  }
  static bool none(Vec v) { return _mm512_test_epi8_mask(v, v) == 0; }
  static Vec addBytes(Vec a, Vec b) { return _mm512_add_epi8(a, b); }
  static Vec subBytes(Vec a, Vec b) { return _mm512_sub_epi8(a, b); }
  static Vec bitCounts(Vec x) { return _mm512_popcnt_epi8(x); }
  static Vec swapHalves(Vec c) {
    return _mm512_or_si512(
        _mm512_and_si512(_mm512_slli_epi16(c, 4), splat(0xF0)),
        _mm512_and_si512(_mm512_srli_epi16(c, 4), splat(0x0F)));
  }
  static Vec addSums(Vec totals, Vec bytes) {
    return _mm512_add_epi64(totals, _mm512_sad_epu8(bytes, zero()));
  }
  // Once a page: through memory (GCC 12's reduction intrinsic trips its own
  // uninitialised-value warning).
  static int total(Vec sums) {
    std::uint64_t lanes[8];
    _mm512_storeu_si512(lanes, sums);
    std::uint64_t sum = 0;
    for (const std::uint64_t lane : lanes) sum += lane;
    return static_cast<int>(sum);
  }
};

}  // namespace

int matchAvx512(const CartPage& previous, CartPage& current, RunTally& tally,
                PageFlips& flips) noexcept {
  return matchVectorwise<Avx512>(previous, current, tally, flips);
}

}  // namespace frennick::detail
#endif
