#include "walk_fixtures.hpp"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <random>

#include "page_polarity.hpp"
#include "page_walk.hpp"

namespace frennick::testing {
namespace {

CartPage pageAt(const Bytes& bytes, std::int64_t n) {
  CartPage p;
  std::memcpy(p.data(), bytes.data() + page(n), kPageSize);
  return p;
}

}  // namespace

Bytes randomCart(int pages, std::size_t tail, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(static_cast<std::size_t>(pages) * kPageSize + tail);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  std::memcpy(bytes.data() + kPageSize, kCartSignature.data(),
              kCartSignature.size());
  return bytes;
}

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

WalkResult walk(FaultyCart& cart) {
  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* out = open_memstream(&text, &length);
  CartFile stream(openFaultyCart(cart));
  const int status = walkCart(stream, "cart.bin", out);
  std::fclose(out);
  WalkResult result{status, std::string(text, length)};
  std::free(text);
  EXPECT_TRUE(cart.closed) << "the cart must be closed on every path";
  return result;
}

void expectWalk(FaultyCart& cart, const std::string& output, int status,
                const Bytes& bytesAfter) {
  const WalkResult run = walk(cart);
  EXPECT_EQ(run.output, output);
  EXPECT_EQ(run.status, status);
  EXPECT_TRUE(cart.bytes == bytesAfter) << "the cart holds other bytes";
}

}  // namespace frennick::testing
