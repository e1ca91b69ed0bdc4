// Choosing each pixel byte's polarity against the page before it.
#pragma once

#include <array>
#include <cstdint>

#include "cart_layout.hpp"
#include "run_tally.hpp"

namespace frennick {

// Inverts every pixel byte of `current` that differs from the same byte of
// `previous` in more than four bits, swapping the halves of its colour byte
// so that the picture stays the same. Adds to the tally's patches,
// pixelsFixed and pixelsExamined. Returns how many pixel bytes it inverted:
// 0 means `current` is unchanged.
int matchPagePolarity(const CartPage& previous, CartPage& current,
                      RunTally& tally) noexcept;

// Which pixel bytes of a page matching inverted, so that the page can be
// put back as it was read without a copy of it: 0xFF for each byte of each
// band's pixel area that was inverted, 0 for the others (the fifth byte of a
// row is never inverted). A kernel stores its vectors of decisions here as
// they are, which costs it one store per vector.
struct PageFlips {
  std::array<std::uint8_t, kBandCount * kAreaSize> bytes;
};

// As above, and records in `flips` which pixel bytes it inverted.
int matchPagePolarity(const CartPage& previous, CartPage& current,
                      RunTally& tally, PageFlips& flips) noexcept;

// Inverts back every pixel byte `flips` records, and swaps back its colour
// byte's halves: `page`, as matching left it, is again as it was before.
void undoPagePolarity(CartPage& page, const PageFlips& flips) noexcept;

}  // namespace frennick
