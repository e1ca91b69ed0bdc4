// Fuzz target for polarity matching: builds a previous and a current page
// from the input, matches them with every kernel this processor runs, and
// checks everything that must hold afterwards. Any breach aborts.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "cart_layout.hpp"
#include "polarity_kernels.hpp"
#include "run_tally.hpp"

namespace {

using frennick::CartPage;
using frennick::kPageSize;

void require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
  }
}

struct Layout {
  bool pixel[kPageSize] = {};
  bool colour[kPageSize] = {};
  Layout() {
    for (const std::size_t p : frennick::kPixelByteOffsets) {
      pixel[p] = true;
      colour[frennick::colourByteOffset(p)] = true;
    }
  }
};

// The colour a pixel shows: one half of its colour byte for bit 1, the
// other for bit 0.
int shownColour(std::uint8_t pixels, std::uint8_t colours, int bit) {
  return ((pixels >> bit) & 1) != 0 ? colours >> 4 : colours & 0x0F;
}

void checkKernel(const frennick::detail::NamedKernel& kernel,
                 const CartPage& previous, const CartPage& original,
                 CartPage& matched) {
  static const Layout layout;
  const CartPage previousCopy = previous;
  matched = original;
  frennick::RunTally tally{3, 5, 7, 11};  // additions must keep what was there
  const int inverted = kernel.match(previous, matched, tally);
  require(previous == previousCopy, "previous page changed");

  int patches = 0;
  std::int64_t fixed = 0;
  for (std::size_t p = 0; p < kPageSize; ++p) {
    if (!layout.pixel[p]) {
      require(layout.colour[p] || matched[p] == original[p],
              "byte outside the layout changed");
      continue;
    }
    const std::size_t c = frennick::colourByteOffset(p);
    const int before =
        std::popcount(static_cast<unsigned>(previous[p] ^ original[p]));
    const int after =
        std::popcount(static_cast<unsigned>(previous[p] ^ matched[p]));
    require(after <= 4, "more than four bits differ after matching");
    if (matched[p] != original[p]) {
      require(matched[p] == static_cast<std::uint8_t>(~original[p]),
              "pixel byte changed but not inverted");
      require(before > 4, "inverted without a majority of differing bits");
      ++patches;
    } else {
      require(matched[c] == original[c], "colour byte changed alone");
      require(before <= 4, "kept with a majority of differing bits");
    }
    for (int bit = 0; bit < 8; ++bit)
      require(shownColour(original[p], original[c], bit) ==
                  shownColour(matched[p], matched[c], bit),
              "a pixel's colour changed");
    fixed += before - after;
  }
  require(inverted == patches, "returned count is not the bytes inverted");
  require(tally.pageNumber == 3, "page number touched");
  require(tally.patches == 5 + patches, "patches miscounted");
  require(tally.pixelsFixed == 7 + fixed, "pixels fixed miscounted");
  require(tally.pixelsExamined == 11 + frennick::kPixelsPerPage,
          "pixels examined miscounted");

  CartPage again = matched;
  frennick::RunTally secondTally;
  require(kernel.match(previous, again, secondTally) == 0 && again == matched,
          "matching a matched page changed it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  // The previous page from the start of the input, the current one from its
  // middle, each repeating the input as often as it takes to fill a page:
  // short inputs make patterned pages, 16 KiB ones any pair at all.
  static CartPage previous;
  static CartPage current;
  for (std::size_t i = 0; i < kPageSize; ++i) {
    previous[i] = data[i % size];
    current[i] = data[(i + size / 2) % size];
  }
  static CartPage first;
  static CartPage other;
  const auto kernels = frennick::detail::availableKernels();
  checkKernel(kernels.front(), previous, current, first);
  for (const auto& kernel : kernels.subspan(1)) {
    checkKernel(kernel, previous, current, other);
    require(other == first, "kernels disagree");
  }
  return 0;
}
