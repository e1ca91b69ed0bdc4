// Pages are read and written many at a time: the chain, the page count and
// every failure must come out as if they were handled one by one.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "cart_run.hpp"
#include "page_walk.hpp"
#include "walk_fixtures.hpp"

namespace frennick {
namespace {

using testing::FaultyCart;

constexpr std::int64_t kBlock = kPagesPerBlock;

// The pages handed to write calls; each must be whole and written once.
std::multiset<std::int64_t> pagesWritten(const FaultyCart& cart) {
  std::multiset<std::int64_t> pages;
  for (const auto& [offset, size] : cart.writes) {
    EXPECT_EQ(offset % static_cast<std::int64_t>(kPageSize), 0);
    EXPECT_EQ(size % kPageSize, 0U);
    for (std::size_t i = 0; i < size / kPageSize; ++i)
      pages.insert(offset / static_cast<std::int64_t>(kPageSize) +
                   static_cast<std::int64_t>(i));
  }
  return pages;
}

TEST(PageWalkBlocks, CartsEndingAtAndAroundBlockEdges) {
  // Pages 2.. are read a block at a time: end just before, on and after an
  // edge, with and without a tail after it.
  for (const std::int64_t pages : {kBlock, kBlock + 1, kBlock + 2, kBlock + 3,
                                   2 * kBlock + 2, 3 * kBlock}) {
    for (const std::size_t tail : {std::size_t{0}, std::size_t{4000}}) {
      SCOPED_TRACE(::testing::Message() << pages << " pages, tail " << tail);
      FaultyCart cart;
      cart.bytes = testing::randomCart(static_cast<int>(pages), tail,
                                       static_cast<unsigned>(pages));
      const testing::Matched expected =
          testing::matchedUpTo(cart.bytes, pages - 1);
      testing::expectWalk(cart, testing::summary(pages, expected.tally), 0,
                          expected.bytes);
    }
  }
}

TEST(PageWalkBlocks, OnlyChangedPagesAreWrittenEachOnceAndWhole) {
  // Every third page repeats the page before it as matched, so it stays:
  // pages 2, 5, ... 32. Page 33, the last of the first read, changes after
  // one that did not, and must be written all the same.
  const std::int64_t pages = 3 * kBlock;
  FaultyCart cart;
  cart.bytes = testing::randomCart(static_cast<int>(pages), 123, 77);
  for (std::int64_t n = 2; n < pages; n += 3) {
    const testing::Matched before = testing::matchedUpTo(cart.bytes, n - 1);
    std::memcpy(cart.bytes.data() + testing::page(n),
                before.bytes.data() + testing::page(n - 1), kPageSize);
  }
  const testing::Matched expected = testing::matchedUpTo(cart.bytes, pages - 1);
  std::multiset<std::int64_t> changed;
  for (std::int64_t n = 2; n < pages; ++n) {
    if (std::memcmp(expected.bytes.data() + testing::page(n),
                    cart.bytes.data() + testing::page(n), kPageSize) != 0)
      changed.insert(n);
  }
  const testing::WalkResult run = testing::walk(cart);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(cart.bytes, expected.bytes);
  EXPECT_EQ(pagesWritten(cart), changed);
  EXPECT_LT(changed.size(), static_cast<std::size_t>(pages - 2));
}

TEST(PageWalkBlocks, ReadFailureInsideABlockNamesTheFirstPageNotRead) {
  const std::int64_t bad = kBlock + 7;  // inside the second block
  FaultyCart cart;
  cart.bytes = testing::randomCart(static_cast<int>(3 * kBlock), 0, 21);
  cart.badReadOffset = testing::page(bad) + 5000;
  const testing::Matched expected = testing::matchedUpTo(cart.bytes, bad - 1);
  testing::expectWalk(cart,
                      "failed to read page " + std::to_string(bad) +
                          ", errno 5!\n" +
                          testing::summary(bad, expected.tally),
                      1, expected.bytes);
}

TEST(PageWalkBlocks, WriteFailureInsideARunLeavesTheEarlierPagesWritten) {
  const std::int64_t bad = kBlock + 9;
  FaultyCart cart;
  cart.bytes = testing::randomCart(static_cast<int>(3 * kBlock), 0, 22);
  cart.badWriteOffset = testing::page(bad);
  cart.error = 28;
  const testing::Matched expected = testing::matchedUpTo(cart.bytes, bad - 1);
  testing::expectWalk(
      cart, "failed to write page " + std::to_string(bad) + ", errno 28!\n", 1,
      expected.bytes);
}

}  // namespace
}  // namespace frennick
