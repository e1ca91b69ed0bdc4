#include "page_polarity.hpp"

#include <bit>
#include <cstdint>

namespace frennick {

int matchPagePolarity(const CartPage& previous, CartPage& current,
                      RunTally& tally) noexcept {
  tally.pixelsExamined += kPixelsPerPage;
  int inverted = 0;
  for (int band = 0; band < kBandCount; ++band) {
    for (int row = 0; row < kRowsPerBand; ++row) {
      for (int column = 0; column < kPixelBytesPerRow; ++column) {
        const std::size_t p = pixelByteOffset(band, row, column);
        const int keep =
            std::popcount(static_cast<std::uint8_t>(previous[p] ^ current[p]));
        const int flip = 8 - keep;
        if (flip < keep) {
          current[p] = static_cast<std::uint8_t>(~current[p]);
          std::uint8_t& colour = current[colourByteOffset(p)];
          colour = std::rotl(colour, 4);
          ++inverted;
          tally.pixelsFixed += keep - flip;
        }
      }
    }
  }
  tally.patches += inverted;
  return inverted;
}

}  // namespace frennick
