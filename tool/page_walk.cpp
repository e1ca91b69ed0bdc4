#include "page_walk.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "cart_file.hpp"
#include "cart_layout.hpp"
#include "page_polarity.hpp"
#include "run_tally.hpp"
#include "termination_hold.hpp"

namespace frennick {
namespace {

// Pages are read and written many at a time: four system calls per page
// would cost far more than matching them. 256 KiB stays in the processor's
// cache between the read and the matching.
constexpr std::size_t kBlockPages = kPagesPerRead;
static_assert(kBlockPages * kPageSize <= 4 * 1024 * 1024);

// Slot 0 holds the page before the block, slots 1.. the block.
using Block = std::array<CartPage, kBlockPages + 1>;
// Which bytes matching inverted on each page of the block, to put a page
// back as it was read if a write cuts it short.
using BlockFlips = std::array<PageFlips, kBlockPages + 1>;
// Which pages of a block matching changed; one more slot ends the last run.
using Changes = std::array<bool, kBlockPages + 2>;

Changes matchBlock(Block& pages, BlockFlips& flips, std::size_t count,
                   RunTally& tally) {
  Changes changed{};
  for (std::size_t i = 1; i <= count; ++i) {
    changed[i] = matchPagePolarity(pages[i - 1], pages[i], tally, flips[i]) > 0;
  }
  return changed;
}

void reportWriteFailure(std::FILE* out, std::int64_t firstPage,
                        const PagesWritten& written) {
  std::fprintf(out, "failed to write page %" PRId64 ", errno %d!\n",
               firstPage + static_cast<std::int64_t>(written.pages),
               written.error);
  if (written.torn) {
    std::fprintf(out,
                 "failed to restore page %" PRId64
                 ", errno %d: it is left part-written!\n",
                 firstPage + static_cast<std::int64_t>(*written.torn),
                 written.restoreError);
  }
}

// Writes each run of consecutive changed pages back with one call. Signals
// wait until the block's writes, and any putting back, are done: the mask
// changes once a block, not twice a write. On a failure prints what happened
// and returns false.
bool writeBack(CartFile& cart, std::int64_t firstPage, const Block& pages,
               const BlockFlips& flips, const Changes& changed,
               std::FILE* out) {
  if (std::find(changed.begin(), changed.end(), true) == changed.end()) {
    return true;
  }
  const TerminationHold hold;
  for (std::size_t i = 1; i <= kBlockPages; ++i) {
    if (!changed[i]) continue;
    std::size_t end = i;
    while (changed[end]) ++end;
    const auto page = firstPage + static_cast<std::int64_t>(i) - 1;
    const PagesWritten written =
        cart.writeWhole(page, &pages[i], &flips[i], end - i);
    if (written.pages != end - i) {
      reportWriteFailure(out, page, written);
      return false;
    }
    i = end;  // unchanged, or past the block
  }
  return true;
}

void printSummary(std::FILE* out, const RunTally& tally) {
  std::fprintf(out,
               "Process complete after %" PRId64 " pages, %" PRId64
               " patches fixing %" PRId64 " pixels out of %" PRId64
               " (%d%%).\n",
               tally.pageNumber, tally.patches, tally.pixelsFixed,
               tally.pixelsExamined, fixedPercentage(tally));
}

// Closing syncs what was written; only then is a report of it true.
bool closeCart(CartFile& cart, const char* path, std::FILE* out) {
  if (cart.close()) return true;
  std::fprintf(out, "failed to close '%s', errno %d!\n", path, errno);
  return false;
}

int failed(CartFile& cart, const char* path, std::FILE* out) {
  closeCart(cart, path, out);
  return 1;
}

}  // namespace

int walkCart(std::FILE* stream, const char* path, std::FILE* out) {
  CartFile cart(stream);
  // The buffers live for the whole run; nothing is allocated per page.
  static Block pages;
  static BlockFlips flips;

  const PagesRead first = cart.read(kSignaturePageNumber, &pages[0], 1);
  if (first.end != ReadEnd::Whole) {
    std::fprintf(out, "failed to read first page, errno %d!\n", first.error);
    return failed(cart, path, out);
  }
  if (!matchesCartSignature(pages[0])) {
    std::fprintf(out,
                 "This doesn't look like a Dravo-special video cart (first "
                 "16-bytes of video page 1)\n");
    return failed(cart, path, out);
  }

  RunTally tally;
  PagesRead read{0, ReadEnd::Whole, 0};
  std::int64_t blockStart = kSignaturePageNumber + 1;
  while (read.end == ReadEnd::Whole) {
    read = cart.read(blockStart, &pages[1], kBlockPages);
    const Changes changed = matchBlock(pages, flips, read.pages, tally);
    if (!writeBack(cart, blockStart, pages, flips, changed, out)) {
      return failed(cart, path, out);
    }
    if (read.pages > 0) {
      blockStart += static_cast<std::int64_t>(read.pages);
      pages[0] = pages[read.pages];  // the page before the next block
    }
  }
  tally.pageNumber = blockStart;  // the page whose read came up short
  if (read.end == ReadEnd::Failed) {
    std::fprintf(out, "failed to read page %" PRId64 ", errno %d!\n",
                 tally.pageNumber, read.error);
  }

  if (!closeCart(cart, path, out)) return 1;
  printSummary(out, tally);
  // A failed read left the rest of the cart unprocessed: not a success.
  return read.end == ReadEnd::Failed ? 1 : 0;
}

}  // namespace frennick
