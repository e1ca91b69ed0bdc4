// Matching sixteen bytes at a time with WebAssembly's 128-bit SIMD. A module
// is built either with it or without it; the page loads the one the browser
// can run.
#if defined(__wasm_simd128__)
#include <wasm_simd128.h>

#include "polarity_simd.hpp"

namespace frennick::detail {
namespace {

struct WasmSimd {
  using Vec = v128_t;
  static constexpr std::size_t kWidth = 16;
  static Vec zero() { return wasm_i8x16_splat(0); }
  static Vec splat(int byte) {
    return wasm_i8x16_splat(static_cast<std::int8_t>(byte));
  }
  static Vec load(const std::uint8_t* p) { return wasm_v128_load(p); }
  static void store(std::uint8_t* p, Vec v) { wasm_v128_store(p, v); }
  static Vec bitXor(Vec a, Vec b) { return wasm_v128_xor(a, b); }
  static Vec bitAnd(Vec a, Vec b) { return wasm_v128_and(a, b); }
  // Lanes of `yes` where `mask` is all ones, of `no` elsewhere.
  static Vec select(Vec mask, Vec yes, Vec no) {
    return wasm_v128_bitselect(yes, no, mask);
  }
  static Vec greater(Vec a, Vec b) { return wasm_u8x16_gt(a, b); }
  static bool none(Vec v) { return !wasm_v128_any_true(v); }
  static Vec addBytes(Vec a, Vec b) { return wasm_i8x16_add(a, b); }
  static Vec subBytes(Vec a, Vec b) { return wasm_i8x16_sub(a, b); }
  static Vec bitCounts(Vec x) { return wasm_i8x16_popcnt(x); }
  static Vec swapHalves(Vec c) {
    return wasm_v128_or(wasm_i8x16_shl(c, 4), wasm_u8x16_shr(c, 4));
  }
  // The running totals are four 32-bit lanes.
  static Vec addSums(Vec totals, Vec bytes) {
    return wasm_i32x4_add(totals, wasm_u32x4_extadd_pairwise_u16x8(
                                      wasm_u16x8_extadd_pairwise_u8x16(bytes)));
  }
  static int total(Vec sums) {
    return static_cast<int>(
        wasm_u32x4_extract_lane(sums, 0) + wasm_u32x4_extract_lane(sums, 1) +
        wasm_u32x4_extract_lane(sums, 2) + wasm_u32x4_extract_lane(sums, 3));
  }
};

}  // namespace

int matchWasmSimd(const CartPage& previous, CartPage& current, RunTally& tally,
                  PageFlips& flips) noexcept {
  return matchVectorwise<WasmSimd>(previous, current, tally, flips);
}

}  // namespace frennick::detail
#endif
