#include "page_walk.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "cart_file.hpp"
#include "cart_layout.hpp"
#include "cart_run.hpp"
#include "run_tally.hpp"
#include "termination_hold.hpp"
#include "write_batch.hpp"

namespace frennick {
namespace {

// A message of the kind both front ends show.
template <typename Format, typename... Args>
void report(std::FILE* out, Format format, const Args&... args) {
  char line[256];
  format(line, sizeof line, args...);
  std::fputs(line, out);
}

void reportWriteFailure(std::FILE* out, std::int64_t firstPage,
                        const PagesWritten& written) {
  std::fprintf(out, "failed to write page %" PRId64 ", errno %d!\n",
               firstPage + static_cast<std::int64_t>(written.pages) -
                   static_cast<std::int64_t>(written.earlier),
               written.error);
}

void reportTorn(std::FILE* out, std::int64_t page, int error) {
  std::fprintf(out,
               "failed to restore page %" PRId64
               ", errno %d: it is left part-written!\n",
               page, error);
}

// The part of a page that a write cut short, put back as it was read:
// half of a page matched would show its pixel bytes inverted without
// their colour bytes.
void putBack(CartFile& cart, std::int64_t page, const CartBlock& block,
             std::size_t slot, std::size_t size, std::FILE* out) {
  alignas(kDirectAlignment) CartPage original = block.pages[slot];
  undoPagePolarity(original, block.flips[slot]);
  if (!cart.putBack(page, original, size)) reportTorn(out, page, errno);
}

// A batch whose write or sync failed, put back whole: the message names
// its first page, with why, and any page that could not go back.
void putBackBatch(CartFile& cart, WriteBatch& batch, int error,
                  std::FILE* out) {
  std::fprintf(out, "failed to write page %" PRId64 ", errno %d!\n",
               batch.first(), error);
  const std::int64_t torn = batch.putBack(cart);
  if (torn >= 0) reportTorn(out, torn, errno);
  batch.clear();
}

// The batch synced, or put back when the sync fails. Inside a hold.
bool endBatch(CartFile& cart, WriteBatch& batch, std::FILE* out) {
  if (batch.empty()) return true;
  if (!cart.makeDurable()) {
    putBackBatch(cart, batch, errno, out);
    return false;
  }
  batch.clear();
  return true;
}

// Writes each run of consecutive changed pages back with one call; with a
// batch, each run is kept in it first. Signals wait until the block's
// writes, and any putting back, are done: the mask changes once a block,
// not twice a write. On a failure prints what happened and returns false.
bool writeBack(CartFile& cart, std::int64_t firstPage, const CartBlock& block,
               WriteBatch* batch, std::FILE* out) {
  ChangedRun run = nextChangedRun(block, 1);
  if (run.count == 0) return true;
  const TerminationHold hold;
  for (; run.count > 0; run = nextChangedRun(block, run.first + run.count)) {
    const auto page = firstPage + static_cast<std::int64_t>(run.first) - 1;
    if (batch != nullptr) {
      if (!batch->fits(run.count) && !endBatch(cart, *batch, out)) {
        return false;
      }
      batch->keep(cart, page, &block.pages[run.first], &block.flips[run.first],
                  run.count);
    }
    const PagesWritten written =
        cart.writeWhole(page, &block.pages[run.first], run.count);
    if (written.pages == run.count) continue;
    if (batch != nullptr && !written.noRoom) {
      // What reached the file system, or did not, is known only now.
      putBackBatch(cart, *batch, written.error, out);
      return false;
    }
    // No room past these pages: those written are kept, once synced.
    if (batch != nullptr && !endBatch(cart, *batch, out)) return false;
    reportWriteFailure(out, page, written);
    if (written.cut > 0) {
      putBack(cart, page + static_cast<std::int64_t>(written.pages), block,
              run.first + written.pages, written.cut, out);
    }
    return false;
  }
  return true;
}

// The last batch synced before the run reports: a failure of its sync can
// still be put back then.
bool syncBatch(CartFile& cart, WriteBatch* batch, std::FILE* out) {
  if (batch == nullptr) return true;
  const TerminationHold hold;
  return endBatch(cart, *batch, out);
}

// Pages that a copy-on-write file system takes many at a time reach the
// cart here, inside a hold like every other write.
bool completeWrites(CartFile& cart, std::int64_t nextPage, std::FILE* out) {
  const TerminationHold hold;
  const PagesWritten written = cart.completeWrites(nextPage);
  if (written.error == 0) return true;
  reportWriteFailure(out, nextPage, written);
  return false;
}

// Closing syncs the cart; only then is a report of the run true. Signals
// wait for the sync and, when it fails, for the cache to be dropped: a run
// ended in between would leave pages the device refused in the cache, and a
// rerun would read them as done. A sync cannot be cut short anyway.
bool closeCart(CartFile& cart, const char* path, std::FILE* out) {
  bool closed = false;
  int error = 0;
  {
    const TerminationHold hold;
    closed = cart.close();
    error = errno;
  }
  if (closed) return true;
  std::fprintf(out, "failed to close '%s', errno %d!\n", path, error);
  return false;
}

int failed(CartFile& cart, const char* path, std::FILE* out) {
  closeCart(cart, path, out);
  return 1;
}

}  // namespace

int walkCart(CartFile& cart, const char* path, std::FILE* out) {
  // Lives for the whole run; nothing is allocated per page.
  static CartBlock block;

  const PagesRead first = cart.read(kSignaturePageNumber, &block.pages[0], 1);
  if (first.end != ReadEnd::Whole) {
    report(out, formatFirstPageFailure, first.error);
    return failed(cart, path, out);
  }
  if (!matchesCartSignature(block.pages[0])) {
    report(out, formatNoSignature);
    return failed(cart, path, out);
  }

  RunTally tally;
  // Where failures are reported late, the pages written since the last sync.
  static WriteBatch written;
  WriteBatch* batch = cart.reportsFailuresLate() ? &written : nullptr;
  PagesRead read{0, ReadEnd::Whole, 0};
  std::int64_t blockStart = kSignaturePageNumber + 1;
  while (read.end == ReadEnd::Whole) {
    read = cart.read(blockStart, &block.pages[1], kPagesPerBlock);
    matchBlock(block, read.pages, tally);
    if (!writeBack(cart, blockStart, block, batch, out))
      return failed(cart, path, out);
    blockStart += static_cast<std::int64_t>(read.pages);
    startNextBlock(block, read.pages);
  }
  if (!syncBatch(cart, batch, out) || !completeWrites(cart, blockStart, out))
    return failed(cart, path, out);
  tally.pageNumber = blockStart;  // the page whose read came up short
  if (read.end == ReadEnd::Failed) {
    std::fprintf(out, "failed to read page %" PRId64 ", errno %d!\n",
                 tally.pageNumber, read.error);
  }

  if (!closeCart(cart, path, out)) return 1;
  report(out, formatSummary, tally);
  // A failed read left the rest of the cart unprocessed: not a success.
  return read.end == ReadEnd::Failed ? 1 : 0;
}

}  // namespace frennick
