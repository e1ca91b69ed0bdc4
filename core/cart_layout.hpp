// Where things lie in a cart image and in one of its video pages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace frennick {

inline constexpr std::size_t kPageSize = 8192;

// One page of the cart image, exactly as it lies in the file.
using CartPage = std::array<std::uint8_t, kPageSize>;

// Page 1 of a video cart starts with these bytes, in file order.
inline constexpr std::array<std::uint8_t, 16> kCartSignature = {
    0xAA, 0x01, 0x02, 0x00, 0x00, 0x00, 0x60, 0x0C,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x60, 0x1C};

// The page that carries the signature; page 0 before it is never touched.
inline constexpr std::int64_t kSignaturePageNumber = 1;

// A video page holds four bands; each band is a pixel area, one spare byte,
// a colour area of the same shape and one more spare byte.
inline constexpr int kBandCount = 4;
inline constexpr int kRowsPerBand = 192;
inline constexpr int kPixelBytesPerRow = 4;
inline constexpr std::size_t kFirstBandOffset = 33;
inline constexpr std::size_t kBandStride = 1922;
// Each row is four pixel (or colour) bytes and one byte nobody looks at.
inline constexpr std::size_t kRowStride = 5;
inline constexpr std::size_t kAreaSize = kRowStride * kRowsPerBand;  // 960
// A pixel byte's colour byte lies this far after it.
inline constexpr std::size_t kColourDistance = kAreaSize + 1;  // 961

inline constexpr int kPixelBytesPerPage =
    kBandCount * kRowsPerBand * kPixelBytesPerRow;                      // 3072
inline constexpr std::int64_t kPixelsPerPage = 8 * kPixelBytesPerPage;  // 24576

constexpr std::size_t bandOffset(int band) {
  return kFirstBandOffset + kBandStride * static_cast<std::size_t>(band);
}

constexpr std::size_t pixelByteOffset(int band, int row, int column) {
  return bandOffset(band) + kRowStride * static_cast<std::size_t>(row) +
         static_cast<std::size_t>(column);
}

constexpr std::size_t colourByteOffset(std::size_t pixelOffset) {
  return pixelOffset + kColourDistance;
}

// Every pixel byte offset of a video page, in visiting order: band 0 to 3,
// row 0 to 191, column 0 to 3 (increasing offsets).
constexpr std::array<std::uint16_t, kPixelBytesPerPage> allPixelByteOffsets() {
  std::array<std::uint16_t, kPixelBytesPerPage> offsets{};
  std::size_t i = 0;
  for (int band = 0; band < kBandCount; ++band)
    for (int row = 0; row < kRowsPerBand; ++row)
      for (int column = 0; column < kPixelBytesPerRow; ++column)
        offsets[i++] =
            static_cast<std::uint16_t>(pixelByteOffset(band, row, column));
  return offsets;
}
inline constexpr auto kPixelByteOffsets = allPixelByteOffsets();

constexpr std::int64_t pageFileOffset(std::int64_t pageNumber) {
  return pageNumber * static_cast<std::int64_t>(kPageSize);
}

// True when the page starts with all sixteen bytes of kCartSignature.
bool matchesCartSignature(const CartPage& page) noexcept;

}  // namespace frennick
