// What a run does with a block of pages once it holds them, and the words
// it reports in: one for the command-line tool and the browser page alike.
#pragma once

#include <array>
#include <cstddef>

#include "cart_layout.hpp"
#include "page_polarity.hpp"
#include "run_tally.hpp"

namespace frennick {

// Pages are read, matched and written many at a time: a call per page costs
// far more than matching it. 256 KiB stays in the processor's cache between
// the read and the matching.
inline constexpr std::size_t kPagesPerBlock = 32;
static_assert(kPagesPerBlock * kPageSize <= 4 * 1024 * 1024);

// Memory that a file opened for direct I/O reads into and writes from
// starts on a page of memory: written from anywhere else, a direct write
// reaches some file systems cut at other places than the pages it holds.
inline constexpr std::size_t kDirectAlignment = 4096;

struct CartBlock {
  // Slot 0 holds the page before the block, as matched; slots 1.. the block.
  alignas(kDirectAlignment) std::array<CartPage, kPagesPerBlock + 1> pages;
  // Which bytes matching inverted on each page, to put one back as it was.
  std::array<PageFlips, kPagesPerBlock + 1> flips;
  // Which pages matching changed; the slot after the last ends every run.
  std::array<bool, kPagesPerBlock + 2> changed;
};

// Matches pages 1 to `count` of the block as a chain, each against the one
// before it as matched, and records which changed.
void matchBlock(CartBlock& block, std::size_t count, RunTally& tally) noexcept;

// The last of the block's `count` pages becomes the page before the next.
void startNextBlock(CartBlock& block, std::size_t count) noexcept;

// A run of pages that matching changed: written back with one call.
struct ChangedRun {
  std::size_t first;  // slot
  std::size_t count;
};
// The first run of changed pages at or after slot `from`; count 0: none.
ChangedRun nextChangedRun(const CartBlock& block, std::size_t from) noexcept;

// The messages both front ends show, written into `line` with its line
// feed; each returns the length, as snprintf does.
int formatFirstPageFailure(char* line, std::size_t size, int error) noexcept;
int formatNoSignature(char* line, std::size_t size) noexcept;
int formatSummary(char* line, std::size_t size, const RunTally& tally) noexcept;

}  // namespace frennick
