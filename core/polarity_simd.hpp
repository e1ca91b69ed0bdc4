// Polarity matching a vector at a time. Included by one source file per
// instruction set, each compiled for that set. Everything here has internal
// linkage and calls no shared inline function, so that no copy built for a
// wider set can be linked in where a narrower one is called.
#pragma once

#include <cstdint>

#include "cart_layout.hpp"
#include "polarity_kernels.hpp"
#include "run_tally.hpp"

namespace frennick::detail {
namespace {

// The fifth byte of every row is not a pixel byte. Rows are five bytes long,
// so over five vectors the pattern of bytes to skip starts again.
struct RowPattern {
  std::uint8_t bytes[5 * 64];
};
constexpr RowPattern makeRowPattern() {
  RowPattern pattern{};
  for (std::size_t i = 0; i < sizeof(pattern.bytes); ++i)
    pattern.bytes[i] = (i % kRowStride) == kRowStride - 1 ? 0x00 : 0xFF;
  return pattern;
}
constexpr RowPattern kRowPattern = makeRowPattern();

// The page's bytes without calling into std::array.
const std::uint8_t* bytesOf(const CartPage& page) {
  return reinterpret_cast<const std::uint8_t*>(&page);
}
std::uint8_t* bytesOf(CartPage& page) {
  return reinterpret_cast<std::uint8_t*>(&page);
}

// V supplies the vector type and its operations (see the kernel sources).
template <typename V>
int matchVectorwise(const CartPage& previous, CartPage& current,
                    RunTally& tally, PageFlips& flips) noexcept {
  using Vec = typename V::Vec;
  const std::uint8_t* before = bytesOf(previous);
  std::uint8_t* now = bytesOf(current);
  constexpr std::size_t kGroup = 5 * V::kWidth;
  static_assert(kAreaSize % kGroup == 0);
  const Vec four = V::splat(4);
  Vec patchTotals = V::zero();
  Vec keepTotals = V::zero();

  for (int band = 0; band < kBandCount; ++band) {
    const std::size_t start =
        kFirstBandOffset + kBandStride * static_cast<std::size_t>(band);
    for (std::size_t group = 0; group < kAreaSize; group += kGroup) {
      // Byte-wide counts; five vectors of at most 8 each cannot overflow.
      Vec patches = V::zero();
      Vec keeps = V::zero();
      for (std::size_t part = 0; part < 5; ++part) {
        const std::size_t p = start + group + part * V::kWidth;
        const Vec pixels = V::load(now + p);
        const Vec keep = V::bitCounts(V::bitXor(V::load(before + p), pixels));
        const Vec flip =
            V::bitAnd(V::greater(keep, four),
                      V::load(kRowPattern.bytes + part * V::kWidth));
        std::uint8_t* record = flips.bytes.data() +
                               kAreaSize * static_cast<std::size_t>(band) +
                               group + part * V::kWidth;
        V::store(record, flip);
        if (V::none(flip)) continue;
        V::store(now + p, V::bitXor(pixels, flip));
        std::uint8_t* colours = now + p + kColourDistance;
        const Vec colour = V::load(colours);
        V::store(colours, V::select(flip, V::swapHalves(colour), colour));
        patches = V::subBytes(patches, flip);  // flip lanes are -1
        keeps = V::addBytes(keeps, V::bitAnd(keep, flip));
      }
      patchTotals = V::addSums(patchTotals, patches);
      keepTotals = V::addSums(keepTotals, keeps);
    }
  }
  const int inverted = V::total(patchTotals);
  const int keepSum = V::total(keepTotals);
  // Each inverted byte fixed keep - (8 - keep) pixels.
  tally.pixelsExamined += kPixelsPerPage;
  tally.patches += inverted;
  tally.pixelsFixed += 2 * static_cast<std::int64_t>(keepSum) - 8 * inverted;
  return inverted;
}

}  // namespace
}  // namespace frennick::detail
