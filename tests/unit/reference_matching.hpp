// The matching rule written out bit by bit, with the band layout spelled out
// by hand, to check the real matching against.
#pragma once

#include <cstdint>

#include "cart_layout.hpp"
#include "run_tally.hpp"

namespace frennick::testing {

inline int bitsDiffering(std::uint8_t a, std::uint8_t b) {
  int count = 0;
  for (unsigned mask = 0x80; mask != 0; mask >>= 1)
    if ((a & mask) != (b & mask)) ++count;
  return count;
}

inline int referenceMatch(const CartPage& previous, CartPage& current,
                          RunTally& tally) {
  tally.pixelsExamined += 24576;
  int inverted = 0;
  for (std::size_t band = 0; band < 4; ++band) {
    for (std::size_t row = 0; row < 192; ++row) {
      for (std::size_t column = 0; column < 4; ++column) {
        const std::size_t p = 33 + 1922 * band + 5 * row + column;
        const auto b = current[p];
        const int keep = bitsDiffering(previous[p], b);
        const int flip =
            bitsDiffering(previous[p], static_cast<std::uint8_t>(~b));
        if (flip < keep) {
          current[p] = static_cast<std::uint8_t>(~b);
          const unsigned x = current[p + 961];
          current[p + 961] = static_cast<std::uint8_t>((x * 16 + x / 16) % 256);
          ++tally.patches;
          ++inverted;
          tally.pixelsFixed += keep - flip;
        }
      }
    }
  }
  return inverted;
}

}  // namespace frennick::testing
