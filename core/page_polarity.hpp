// Choosing each pixel byte's polarity against the page before it.
#pragma once

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

}  // namespace frennick
