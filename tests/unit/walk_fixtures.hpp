// Carts in memory, what a run must leave in them, and a run of the walk over
// them, for the tests of the walk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cart_layout.hpp"
#include "faulty_stream.hpp"
#include "run_tally.hpp"

namespace frennick::testing {

using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t page(std::int64_t n) { return pageFileOffset(n); }

// Random pages with the signature on page 1, then `tail` random bytes.
Bytes randomCart(int pages, std::size_t tail, unsigned seed);

// The cart after pages 2 to `last` were matched and written, and the tally
// that goes with it.
struct Matched {
  Bytes bytes;
  RunTally tally;
};
Matched matchedUpTo(Bytes bytes, std::int64_t last);

// The summary line for a walk that stopped at page `pages`.
std::string summary(std::int64_t pages, const RunTally& tally);

struct WalkResult {
  int status;
  std::string output;
};
// Walks `cart` as "cart.bin" and returns the exit status and all it printed.
WalkResult walk(FaultyCart& cart);

// Walks `cart` and checks all it printed, the exit status and every byte of
// the cart afterwards.
void expectWalk(FaultyCart& cart, const std::string& output, int status,
                const Bytes& bytesAfter);

}  // namespace frennick::testing
