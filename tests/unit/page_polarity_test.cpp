#include "page_polarity.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <span>

#include "polarity_kernels.hpp"
#include "reference_matching.hpp"

namespace frennick {
namespace {

constexpr std::size_t kSomePixel = pixelByteOffset(2, 100, 3);
constexpr std::size_t kSomeColour = colourByteOffset(kSomePixel);

CartPage randomPage(std::mt19937_64& random) {
  CartPage page;
  for (auto& b : page) b = static_cast<std::uint8_t>(random());
  return page;
}

bool operator==(const RunTally& a, const RunTally& b) {
  return a.pageNumber == b.pageNumber && a.patches == b.patches &&
         a.pixelsFixed == b.pixelsFixed && a.pixelsExamined == b.pixelsExamined;
}

// Every way of matching this build has and this processor runs: the fast
// ones must agree with the plain one in every case.
const std::span<const detail::NamedKernel> kKernels =
    detail::availableKernels();

// One pixel byte pair in otherwise equal pages, matched by one kernel.
struct OneByte {
  CartPage previous{};
  CartPage current{};
  RunTally tally;
  int inverted = 0;
  OneByte(const detail::NamedKernel& kernel, std::uint8_t before,
          std::uint8_t now, std::uint8_t colour) {
    previous[kSomePixel] = before;
    current[kSomePixel] = now;
    current[kSomeColour] = colour;
    inverted = kernel.match(previous, current, tally);
  }
};

TEST(MatchPagePolarity, IdenticalPagesOnlyCountExaminedPixels) {
  for (const auto& kernel : kKernels) {
    SCOPED_TRACE(kernel.name);
    std::mt19937_64 random(1);
    const CartPage previous = randomPage(random);
    CartPage current = previous;
    RunTally tally{7, 10, 20, 30};
    EXPECT_EQ(kernel.match(previous, current, tally), 0);
    EXPECT_EQ(current, previous);
    EXPECT_TRUE((tally == RunTally{7, 10, 20, 30 + 24576}));
  }
}

// The rule at its edges, one pixel byte at a time.
struct SingleByteCase {
  const char* what;
  std::uint8_t before, now, colour;  // previous pixel, current pixel, colour
  std::uint8_t pixelAfter, colourAfter;
  int inverted;
  std::int64_t fixed;
};
constexpr SingleByteCase kSingleByteCases[] = {
    {"exact inverse: flipped back, halves swapped", 0x5A, 0xA5, 0x1E, 0x5A,
     0xE1, 1, 8},
    {"five bits differ: flipped", 0x00, 0x1F, 0x12, 0xE0, 0x21, 1, 2},
    {"tie at four: left alone", 0x00, 0x0F, 0x12, 0x0F, 0x12, 0, 0},
    {"equal colour halves: still a patch", 0xFF, 0x00, 0x33, 0xFF, 0x33, 1, 8},
};

TEST(MatchPagePolarity, SingleBytesAtTheEdgesOfTheRule) {
  for (const auto& kernel : kKernels) {
    for (const auto& c : kSingleByteCases) {
      SCOPED_TRACE(::testing::Message() << kernel.name << ": " << c.what);
      const OneByte m(kernel, c.before, c.now, c.colour);
      EXPECT_EQ(m.inverted, c.inverted);
      EXPECT_EQ(m.current[kSomePixel], c.pixelAfter);
      EXPECT_EQ(m.current[kSomeColour], c.colourAfter);
      EXPECT_TRUE((m.tally == RunTally{1, c.inverted, c.fixed, 24576}));
    }
  }
}

TEST(MatchPagePolarity, EveryBytePairFollowsTheRule) {
  for (const auto& kernel : kKernels) {
    SCOPED_TRACE(kernel.name);
    // All 65536 (previous, current) pairs, 3072 to a page, so that every
    // position of the layout sees many of them.
    CartPage previous{};
    CartPage current{};
    RunTally tally;
    RunTally expectedTally;
    std::uint32_t pair = 0;
    while (pair < 65536) {
      for (const std::size_t p : kPixelByteOffsets) {
        previous[p] = static_cast<std::uint8_t>(pair >> 8);
        current[p] = static_cast<std::uint8_t>(pair);
        current[colourByteOffset(p)] = static_cast<std::uint8_t>(pair * 7);
        ++pair;
      }
      CartPage expected = current;
      const int expectedInverted =
          testing::referenceMatch(previous, expected, expectedTally);
      ASSERT_EQ(kernel.match(previous, current, tally), expectedInverted);
      ASSERT_EQ(current, expected) << "pairs up to " << pair;
    }
    EXPECT_TRUE(tally == expectedTally);
  }
}

// Each kernel also records what it inverted, so that a page can be put back
// as it was read.
TEST(MatchPagePolarity, RandomPagesAgreeWithTheRuleBitByBit) {
  for (const auto& kernel : kKernels) {
    SCOPED_TRACE(kernel.name);
    std::mt19937_64 random(42);
    RunTally tally;
    RunTally expectedTally;
    for (int n = 0; n < 2000; ++n) {
      const CartPage previous = randomPage(random);
      CartPage current = randomPage(random);
      // Pages that are nearly alike, as in a real video, as well as noise.
      if (n % 2 == 0)
        for (std::size_t i = 0; i < kPageSize; ++i)
          if (random() % 8 != 0) current[i] = previous[i];
      CartPage expected = current;
      const CartPage previousBefore = previous;
      const CartPage read = current;
      const int expectedInverted =
          testing::referenceMatch(previous, expected, expectedTally);
      // Whatever the record held before, it must end up saying exactly
      // which bytes were inverted: undoing them gives the page as read.
      PageFlips flips;
      flips.bytes.fill(static_cast<std::uint8_t>(n % 2 == 0 ? 0xFF : 0x00));
      ASSERT_EQ(kernel.matchRecording(previous, current, tally, flips),
                expectedInverted);
      ASSERT_EQ(current, expected) << "page " << n;
      ASSERT_EQ(previous, previousBefore);
      int recorded = 0;
      for (const std::uint8_t decision : flips.bytes) {
        ASSERT_TRUE(decision == 0x00 || decision == 0xFF);
        recorded += decision != 0;
      }
      ASSERT_EQ(recorded, expectedInverted);
      undoPagePolarity(current, flips);
      ASSERT_EQ(current, read) << "page " << n << " not put back as read";
    }
    EXPECT_TRUE(tally == expectedTally);
  }
}

TEST(MatchPagePolarity, LeavesEveryPixelWithinFourBitsAndIsIdempotent) {
  for (const auto& kernel : kKernels) {
    SCOPED_TRACE(kernel.name);
    std::mt19937_64 random(7);
    for (int n = 0; n < 50; ++n) {
      const CartPage previous = randomPage(random);
      CartPage current = randomPage(random);
      RunTally tally;
      kernel.match(previous, current, tally);
      for (const std::size_t p : kPixelByteOffsets) {
        ASSERT_LE(
            std::popcount(static_cast<unsigned>(previous[p] ^ current[p])), 4);
      }
      const CartPage matched = current;
      const RunTally first = tally;
      EXPECT_EQ(kernel.match(previous, current, tally), 0);
      EXPECT_EQ(current, matched);
      EXPECT_EQ(tally.patches, first.patches);
      EXPECT_EQ(tally.pixelsFixed, first.pixelsFixed);
    }
  }
}

TEST(MatchPagePolarity, NeverTouchesBytesOutsideThePixelAndColourAreas) {
  for (const auto& kernel : kKernels) {
    SCOPED_TRACE(kernel.name);
    // Everything outside the layout is the exact inverse of the previous page,
    // so a stray write anywhere there would show.
    std::mt19937_64 random(3);
    const CartPage previous = randomPage(random);
    CartPage current;
    for (std::size_t i = 0; i < kPageSize; ++i)
      current[i] = static_cast<std::uint8_t>(~previous[i]);
    const CartPage before = current;
    RunTally tally;
    EXPECT_EQ(kernel.match(previous, current, tally), kPixelBytesPerPage);
    std::vector<bool> inLayout(kPageSize, false);
    for (const std::size_t p : kPixelByteOffsets) {
      inLayout[p] = inLayout[colourByteOffset(p)] = true;
      EXPECT_EQ(current[p], previous[p]);
      EXPECT_EQ(current[colourByteOffset(p)],
                std::rotl(before[colourByteOffset(p)], 4));
    }
    for (std::size_t i = 0; i < kPageSize; ++i)
      if (!inLayout[i]) {
        ASSERT_EQ(current[i], before[i]) << "offset " << i;
      }
    EXPECT_EQ(tally.pixelsFixed, 24576);
  }
}

}  // namespace
}  // namespace frennick

namespace frennick {
namespace {

TEST(MatchPagePolarity, PublicEntryMatchesLikeTheKernels) {
  std::mt19937_64 random(11);
  const CartPage previous = randomPage(random);
  CartPage current = randomPage(random);
  CartPage expected = current;
  RunTally tally;
  RunTally expectedTally;
  const int inverted =
      testing::referenceMatch(previous, expected, expectedTally);
  EXPECT_EQ(matchPagePolarity(previous, current, tally), inverted);
  EXPECT_EQ(current, expected);
  EXPECT_TRUE(tally == expectedTally);
}

}  // namespace
}  // namespace frennick
