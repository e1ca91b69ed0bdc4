// The walk over streams that fail on demand: every failure gets its message
// and exit status, and the cart holds exactly what a run stopped there leaves.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "walk_fixtures.hpp"

namespace frennick {
namespace {

using testing::Bytes;
using testing::expectWalk;
using testing::FaultyCart;
using testing::Matched;
using testing::matchedUpTo;
using testing::page;
using testing::randomCart;
using testing::summary;

TEST(PageWalk, CleanRunIgnoresStaleErrno) {
  FaultyCart cart;
  cart.bytes = randomCart(6, 100, 1);
  cart.staleErrno = 11;
  const Matched expected = matchedUpTo(cart.bytes, 5);
  expectWalk(cart, summary(6, expected.tally), 0, expected.bytes);
}

TEST(PageWalk, TwoPageCartMatchesNothing) {
  FaultyCart cart;
  cart.bytes = randomCart(2, 0, 2);
  const Bytes before = cart.bytes;
  expectWalk(cart,
             "Process complete after 2 pages, 0 patches fixing 0 pixels out of "
             "0 (0%).\n",
             0, before);
  EXPECT_TRUE(cart.writes.empty());
}

TEST(PageWalk, FirstPageReadFailurePrintsItsErrno) {
  FaultyCart cart;
  cart.bytes = randomCart(4, 0, 3);
  cart.badReadOffset = page(1) + 10;
  const Bytes before = cart.bytes;
  expectWalk(cart, "failed to read first page, errno 5!\n", 1, before);
}

TEST(PageWalk, LaterReadFailureReportsThenSummarisesAndFails) {
  FaultyCart cart;
  cart.bytes = randomCart(8, 0, 4);
  cart.badReadOffset = page(4) + 100;
  const Matched expected = matchedUpTo(cart.bytes, 3);
  expectWalk(cart,
             "failed to read page 4, errno 5!\n" + summary(4, expected.tally),
             1, expected.bytes);
}

TEST(PageWalk, WriteFailureStopsAtOnceLeavingEarlierPagesWritten) {
  FaultyCart cart;
  cart.bytes = randomCart(8, 0, 5);
  cart.badWriteOffset = page(5);
  cart.error = 28;  // ENOSPC
  Bytes expected = matchedUpTo(cart.bytes, 4).bytes;
  expectWalk(cart, "failed to write page 5, errno 28!\n", 1, expected);
}

TEST(PageWalk, WriteEndingInsideAPagePutsThatPageBack) {
  // Random pages all change, so pages 2 to 7 go out in one write, which
  // stops 3000 bytes into page 5.
  for (const bool staleErrno : {false, true}) {
    SCOPED_TRACE(staleErrno ? "stale errno" : "clean errno");
    FaultyCart cart;
    cart.bytes = randomCart(8, 0, 11);
    cart.badWriteOffset = page(5) + 3000;
    cart.error = 27;  // EFBIG
    cart.staleErrno = staleErrno ? 11 : 0;
    const Bytes expected = matchedUpTo(cart.bytes, 4).bytes;
    expectWalk(cart, "failed to write page 5, errno 27!\n", 1, expected);
  }
}

TEST(PageWalk, RestoreThatFailsTooIsReportedWithTheFirstError) {
  FaultyCart cart;
  cart.bytes = randomCart(8, 0, 12);
  cart.badWriteOffset = page(5) + 3000;
  cart.error = 28;
  cart.writesDieAfterFault = true;  // EIO from then on
  Bytes expected = matchedUpTo(cart.bytes, 5).bytes;
  std::memcpy(expected.data() + page(5) + 3000,
              cart.bytes.data() + page(5) + 3000, kPageSize - 3000);
  expectWalk(cart,
             "failed to write page 5, errno 28!\n"
             "failed to restore page 5, errno 5: it is left part-written!\n",
             1, expected);
}

TEST(PageWalk, ShortFirstPageReportsNoStaleErrno) {
  FaultyCart cart;
  cart.bytes = randomCart(2, 0, 13);
  cart.bytes.resize(kPageSize + 5000);
  cart.staleErrno = 11;
  const Bytes before = cart.bytes;
  errno = 11;
  expectWalk(cart, "failed to read first page, errno 0!\n", 1, before);
}

TEST(PageWalk, FailedSeekBeforeAWriteNeverWritesElsewhere) {
  FaultyCart cart;
  cart.bytes = randomCart(6, 0, 7);
  cart.badSeekOffset = page(2);
  cart.failSeekOnVisit = 2;  // the first visit reads page 2
  const Bytes before = cart.bytes;
  expectWalk(cart, "failed to write page 2, errno 5!\n", 1, before);
}

TEST(PageWalk, FailedSeekBeforeAReadReadsNothingFromElsewhere) {
  // The first visit to page 1 is its read; the first to page 2, the read of
  // pages 2 on.
  for (const std::int64_t at : {std::int64_t{1}, std::int64_t{2}}) {
    SCOPED_TRACE(at);
    FaultyCart cart;
    cart.bytes = randomCart(6, 0, 14);
    cart.badSeekOffset = page(at);
    cart.failSeekOnVisit = 1;
    const Bytes before = cart.bytes;
    expectWalk(
        cart,
        at == 1 ? "failed to read first page, errno 5!\n"
                : "failed to read page 2, errno 5!\n" + summary(2, RunTally{}),
        1, before);
    EXPECT_TRUE(cart.writes.empty());
  }
}

TEST(PageWalk, CloseFailureReplacesTheSummary) {
  FaultyCart cart;
  cart.bytes = randomCart(5, 0, 8);
  cart.failClose = true;
  const Matched expected = matchedUpTo(cart.bytes, 4);
  expectWalk(cart, "failed to close 'cart.bin', errno 5!\n", 1, expected.bytes);
}

TEST(PageWalk, CloseFailureAfterReadFailureReportsBoth) {
  FaultyCart cart;
  cart.bytes = randomCart(5, 0, 9);
  cart.badReadOffset = page(3);
  cart.failClose = true;
  const Bytes expected = matchedUpTo(cart.bytes, 2).bytes;
  expectWalk(cart,
             "failed to read page 3, errno 5!\n"
             "failed to close 'cart.bin', errno 5!\n",
             1, expected);
}

TEST(PageWalk, SignatureMismatchWritesNothing) {
  FaultyCart cart;
  cart.bytes = randomCart(5, 0, 10);
  cart.bytes[page(1) + 15] ^= 0x01;
  const Bytes before = cart.bytes;
  expectWalk(cart,
             "This doesn't look like a Dravo-special video cart (first "
             "16-bytes of video page 1)\n",
             1, before);
  EXPECT_TRUE(cart.writes.empty());
}

}  // namespace
}  // namespace frennick
