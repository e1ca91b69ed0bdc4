// Matching sixteen bytes at a time with NEON: always there on AArch64; on
// 32-bit ARM this file alone is built for it, and it is only called once the
// processor is known to have it.
#if defined(__ARM_NEON) || defined(__ARM_NEON__) || defined(__aarch64__) || \
    defined(_M_ARM64)
#include <arm_neon.h>

#include "polarity_simd.hpp"

namespace frennick::detail {
namespace {

struct Neon {
  using Vec = uint8x16_t;
  static constexpr std::size_t kWidth = 16;
  static Vec zero() { return vdupq_n_u8(0); }
  static Vec splat(int byte) { return vdupq_n_u8(static_cast<uint8_t>(byte)); }
  static Vec load(const std::uint8_t* p) { return vld1q_u8(p); }
  static void store(std::uint8_t* p, Vec v) { vst1q_u8(p, v); }
  static Vec bitXor(Vec a, Vec b) { return veorq_u8(a, b); }
  static Vec bitAnd(Vec a, Vec b) { return vandq_u8(a, b); }
  // Lanes of `yes` where `mask` is all ones, of `no` elsewhere.
  static Vec select(Vec mask, Vec yes, Vec no) {
    return vbslq_u8(mask, yes, no);
  }
  // Counts are 0 to 8, so comparing them unsigned is the same.
  static Vec greater(Vec a, Vec b) { return vcgtq_u8(a, b); }
  static bool none(Vec v) {
#ifdef __aarch64__
    return vmaxvq_u8(v) == 0;
#else
    // ARMv7 has no reduction across a vector: fold its two halves.
    const uint64x2_t halves = vreinterpretq_u64_u8(v);
    return (vgetq_lane_u64(halves, 0) | vgetq_lane_u64(halves, 1)) == 0;
#endif
  }
  static Vec addBytes(Vec a, Vec b) { return vaddq_u8(a, b); }
  static Vec subBytes(Vec a, Vec b) { return vsubq_u8(a, b); }
  static Vec bitCounts(Vec x) { return vcntq_u8(x); }
  // The high half moved down, the low half inserted above it.
  static Vec swapHalves(Vec c) { return vsliq_n_u8(vshrq_n_u8(c, 4), c, 4); }
  // The running totals are four 32-bit lanes in the same register.
  static Vec addSums(Vec totals, Vec bytes) {
    return vreinterpretq_u8_u32(
        vpadalq_u16(vreinterpretq_u32_u8(totals), vpaddlq_u8(bytes)));
  }
  static int total(Vec sums) {
    const uint32x4_t lanes = vreinterpretq_u32_u8(sums);
#ifdef __aarch64__
    return static_cast<int>(vaddvq_u32(lanes));
#else
    const uint64x2_t pairs = vpaddlq_u32(lanes);
    return static_cast<int>(vgetq_lane_u64(pairs, 0) +
                            vgetq_lane_u64(pairs, 1));
#endif
  }
};

}  // namespace

int matchNeon(const CartPage& previous, CartPage& current, RunTally& tally,
              PageFlips& flips) noexcept {
  return matchVectorwise<Neon>(previous, current, tally, flips);
}

}  // namespace frennick::detail
#endif
