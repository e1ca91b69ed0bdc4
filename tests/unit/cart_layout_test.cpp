#include "cart_layout.hpp"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace frennick {
namespace {

CartPage pageWithSignature(std::uint8_t filler) {
  CartPage page;
  page.fill(filler);
  std::copy(kCartSignature.begin(), kCartSignature.end(), page.begin());
  return page;
}

TEST(CartSignature, OnlyTheFirstSixteenBytesCount) {
  EXPECT_TRUE(matchesCartSignature(pageWithSignature(0x00)));
  EXPECT_TRUE(matchesCartSignature(pageWithSignature(0xFF)));
  CartPage zero{};
  EXPECT_FALSE(matchesCartSignature(zero));
}

TEST(CartSignature, EverySingleByteDifferenceFails) {
  for (std::size_t i = 0; i < kCartSignature.size(); ++i) {
    for (const std::uint8_t flip : {0x01, 0x10, 0x80, 0xFF}) {
      CartPage page = pageWithSignature(0x5A);
      page[i] ^= flip;
      EXPECT_FALSE(matchesCartSignature(page)) << "byte " << i;
    }
  }
}

std::vector<std::size_t> allPixelOffsets() {
  return {kPixelByteOffsets.begin(), kPixelByteOffsets.end()};
}

TEST(PageLayout, BandAreasLieWhereTheCartFormatPutsThem) {
  // {pixel area first, last, colour area first, last} per band.
  const std::size_t areas[4][4] = {{33, 992, 994, 1953},
                                   {1955, 2914, 2916, 3875},
                                   {3877, 4836, 4838, 5797},
                                   {5799, 6758, 6760, 7719}};
  for (int band = 0; band < kBandCount; ++band) {
    EXPECT_EQ(pixelByteOffset(band, 0, 0), areas[band][0]);
    // The last row's fifth byte closes the area but is not a pixel byte.
    EXPECT_EQ(pixelByteOffset(band, 191, 3) + 1, areas[band][1]);
    EXPECT_EQ(colourByteOffset(pixelByteOffset(band, 0, 0)), areas[band][2]);
    EXPECT_EQ(colourByteOffset(pixelByteOffset(band, 191, 3)) + 1,
              areas[band][3]);
  }
}

TEST(PageLayout, PixelAndColourBytesNeverOverlapAndStayInside) {
  const auto pixels = allPixelOffsets();
  ASSERT_EQ(pixels.size(), static_cast<std::size_t>(kPixelBytesPerPage));
  std::set<std::size_t> used;
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(pixels[i - 1], pixels[i]) << "visiting order";
    }
    EXPECT_TRUE(used.insert(pixels[i]).second);
    EXPECT_TRUE(used.insert(colourByteOffset(pixels[i])).second);
  }
  EXPECT_EQ(*used.begin(), 33U);
  EXPECT_EQ(*used.rbegin(), 7718U);
  EXPECT_EQ(pixels.back(), 6757U);
}

TEST(PageLayout, SpareBytesAreNeverPartOfTheLayout) {
  std::set<std::size_t> used;
  for (const std::size_t p : allPixelOffsets()) {
    used.insert(p);
    used.insert(colourByteOffset(p));
  }
  for (std::size_t offset = 0; offset < 33; ++offset)
    EXPECT_FALSE(used.count(offset));
  for (std::size_t offset = 7719; offset < kPageSize; ++offset)
    EXPECT_FALSE(used.count(offset));
  for (int band = 0; band < kBandCount; ++band) {
    const std::size_t start = 33 + 1922 * static_cast<std::size_t>(band);
    EXPECT_FALSE(used.count(start + 960));
    EXPECT_FALSE(used.count(start + 1921));
    for (std::size_t row = 0; row < 192; ++row) {
      EXPECT_FALSE(used.count(start + 5 * row + 4));
      EXPECT_FALSE(used.count(start + 961 + 5 * row + 4));
    }
  }
}

TEST(PageLayout, PagesPastTwoGibibytesHaveExactOffsets) {
  EXPECT_EQ(pageFileOffset(1), 8192);
  EXPECT_EQ(pageFileOffset(262144), std::int64_t{1} << 31);
  EXPECT_EQ(pageFileOffset(524289), (std::int64_t{1} << 32) + 8192);
}

}  // namespace
}  // namespace frennick
