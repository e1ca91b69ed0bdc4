// The walk over streams that fail on demand: every failure gets its message
// and exit status, and the cart holds exactly what a run stopped there leaves.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <random>
#include <string>

#include "cart_layout.hpp"
#include "faulty_stream.hpp"
#include "page_polarity.hpp"
#include "page_walk.hpp"

namespace frennick {
namespace {

using testing::FaultyCart;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t page(std::int64_t n) { return pageFileOffset(n); }

Bytes randomCart(int pages, std::size_t tail, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(static_cast<std::size_t>(pages) * kPageSize + tail);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  std::memcpy(bytes.data() + kPageSize, kCartSignature.data(),
              kCartSignature.size());
  return bytes;
}

CartPage pageAt(const Bytes& bytes, std::int64_t n) {
  CartPage p;
  std::memcpy(p.data(), bytes.data() + page(n), kPageSize);
  return p;
}

// The cart after pages 2 to `last` were matched and written, and the tally
// that goes with it.
struct Matched {
  Bytes bytes;
  RunTally tally;
};
Matched matchedUpTo(Bytes bytes, std::int64_t last) {
  RunTally tally;
  for (std::int64_t n = 2; n <= last; ++n) {
    CartPage current = pageAt(bytes, n);
    matchPagePolarity(pageAt(bytes, n - 1), current, tally);
    std::memcpy(bytes.data() + page(n), current.data(), kPageSize);
  }
  return {std::move(bytes), tally};
}

std::string summary(std::int64_t pages, const RunTally& t) {
  char line[200];
  std::snprintf(
      line, sizeof line,
      "Process complete after %" PRId64 " pages, %" PRId64
      " patches fixing %" PRId64 " pixels out of %" PRId64 " (%d%%).\n",
      pages, t.patches, t.pixelsFixed, t.pixelsExamined, fixedPercentage(t));
  return line;
}

struct WalkResult {
  int status;
  std::string output;
};

WalkResult walk(FaultyCart& cart, std::size_t bufferSize = 0) {
  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* out = open_memstream(&text, &length);
  std::FILE* stream = testing::openFaultyCart(cart, bufferSize);
  const int status = walkCart(stream, "cart.bin", out);
  std::fclose(out);
  WalkResult result{status, std::string(text, length)};
  std::free(text);
  EXPECT_TRUE(cart.closed) << "the cart must be closed on every path";
  return result;
}

TEST(PageWalk, CleanRunIgnoresStaleErrno) {
  FaultyCart cart;
  cart.bytes = randomCart(6, 100, 1);
  cart.staleErrno = 11;
  const Matched expected = matchedUpTo(cart.bytes, 5);
  const WalkResult run = walk(cart);
  EXPECT_EQ(run.output, summary(6, expected.tally));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(cart.bytes, expected.bytes);
}

TEST(PageWalk, TwoPageCartMatchesNothing) {
  FaultyCart cart;
  cart.bytes = randomCart(2, 0, 2);
  const Bytes before = cart.bytes;
  const WalkResult run = walk(cart);
  EXPECT_EQ(run.output,
            "Process complete after 2 pages, 0 patches fixing 0 pixels out of "
            "0 (0%).\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(cart.bytes, before);
  EXPECT_EQ(cart.writeCalls, 0);
}

TEST(PageWalk, FirstPageReadFailurePrintsItsErrno) {
  FaultyCart cart;
  cart.bytes = randomCart(4, 0, 3);
  cart.badReadOffset = page(1) + 10;
  const Bytes before = cart.bytes;
  const WalkResult run = walk(cart);
  EXPECT_EQ(run.output, "failed to read first page, errno 5!\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(cart.bytes, before);
}

TEST(PageWalk, LaterReadFailureReportsThenSummarisesAndFails) {
  FaultyCart cart;
  cart.bytes = randomCart(8, 0, 4);
  cart.badReadOffset = page(4) + 100;
  const Matched expected = matchedUpTo(cart.bytes, 3);
  const WalkResult run = walk(cart);
  EXPECT_EQ(run.output,
            "failed to read page 4, errno 5!\n" + summary(4, expected.tally));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(cart.bytes, expected.bytes);
}

TEST(PageWalk, WriteFailureStopsAtOnceLeavingEarlierPagesWritten) {
  FaultyCart cart;
  cart.bytes = randomCart(8, 0, 5);
  cart.badWriteOffset = page(5);
  cart.error = 28;  // ENOSPC
  Bytes expected = matchedUpTo(cart.bytes, 4).bytes;
  const WalkResult run = walk(cart);
  EXPECT_EQ(run.output, "failed to write page 5, errno 28!\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(cart.bytes, expected);
}

TEST(PageWalk, WriteFailureThatOnlyShowsAtFlushIsStillAFailure) {
  FaultyCart cart;
  cart.bytes = randomCart(8, 0, 6);
  cart.badWriteOffset = page(3);
  cart.error = 28;
  const Bytes expected = matchedUpTo(cart.bytes, 2).bytes;
  const WalkResult run = walk(cart, 1 << 16);
  EXPECT_EQ(run.output, "failed to write page 3, errno 28!\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(cart.bytes, expected);
}

TEST(PageWalk, FailedSeekBeforeAWriteNeverWritesElsewhere) {
  FaultyCart cart;
  cart.bytes = randomCart(6, 0, 7);
  cart.badSeekOffset = page(2);
  cart.failSeekOnVisit = 2;  // the first visit reads page 2
  const Bytes before = cart.bytes;
  const WalkResult run = walk(cart);
  EXPECT_EQ(run.output, "failed to write page 2, errno 5!\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(cart.bytes, before);
}

TEST(PageWalk, CloseFailureReplacesTheSummary) {
  FaultyCart cart;
  cart.bytes = randomCart(5, 0, 8);
  cart.failClose = true;
  const Matched expected = matchedUpTo(cart.bytes, 4);
  const WalkResult run = walk(cart);
  EXPECT_EQ(run.output, "failed to close 'cart.bin', errno 5!\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(cart.bytes, expected.bytes);
}

TEST(PageWalk, CloseFailureAfterReadFailureReportsBoth) {
  FaultyCart cart;
  cart.bytes = randomCart(5, 0, 9);
  cart.badReadOffset = page(3);
  cart.failClose = true;
  const WalkResult run = walk(cart);
  EXPECT_EQ(run.output,
            "failed to read page 3, errno 5!\n"
            "failed to close 'cart.bin', errno 5!\n");
  EXPECT_EQ(run.status, 1);
}

TEST(PageWalk, SignatureMismatchWritesNothing) {
  FaultyCart cart;
  cart.bytes = randomCart(5, 0, 10);
  cart.bytes[page(1) + 15] ^= 0x01;
  const Bytes before = cart.bytes;
  const WalkResult run = walk(cart);
  EXPECT_EQ(run.output,
            "This doesn't look like a Dravo-special video cart (first "
            "16-bytes of video page 1)\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(cart.bytes, before);
  EXPECT_EQ(cart.writeCalls, 0);
}

}  // namespace
}  // namespace frennick
