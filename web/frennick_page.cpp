// The module's side of a run in the browser page. The page's Worker reads
// the cart a block at a time into this module's block, asks for it to be
// matched, and hands on the runs of pages that changed; the rules and the
// words are the command-line tool's own, from core/. It also digests the
// copy as written and as read back, so that no wrong copy is offered.
#include <emscripten/emscripten.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cart_layout.hpp"
#include "cart_run.hpp"
#include "copy_digest.hpp"
#include "polarity_kernels.hpp"

namespace {

using frennick::CartPage;
using frennick::kPagesPerBlock;

frennick::CartBlock block;
frennick::RunTally tally;
// The page before the block as it was read: what the speckles were.
CartPage lastAsRead;
// Pixels that change from the page before, per slot, before and after
// matching: what the page plots.
std::array<int, kPagesPerBlock + 1> changesBefore;
std::array<int, kPagesPerBlock + 1> changesAfter;
char line[256];
// The Worker's two digests: the copy as written, and as read back. Bytes
// from outside the module's memory pass through `digestInput`.
std::array<frennick::StreamDigest, 2> digests;
std::array<std::uint8_t, 1 << 20> digestInput;

// A row's four pixel bytes lie together: one word a row.
int pixelChanges(const CartPage& before, const CartPage& page) {
  int changes = 0;
  for (int band = 0; band < frennick::kBandCount; ++band) {
    for (int row = 0; row < frennick::kRowsPerBand; ++row) {
      const std::size_t at = frennick::pixelByteOffset(band, row, 0);
      std::uint32_t a = 0;
      std::uint32_t b = 0;
      std::memcpy(&a, &before[at], sizeof a);
      std::memcpy(&b, &page[at], sizeof b);
      changes += std::popcount(a ^ b);
    }
  }
  return changes;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE int pagesPerBlock() {
  return static_cast<int>(kPagesPerBlock);
}

// Where the script puts page `slot` of the block (0: the page before it).
EMSCRIPTEN_KEEPALIVE std::uint8_t* pageSlot(int slot) {
  return block.pages[static_cast<std::size_t>(slot)].data();
}

EMSCRIPTEN_KEEPALIVE const char* kernelName() {
  return frennick::detail::chosenKernel().name;
}

// Page 1 is in slot 0. Starts a run; false when page 1 lacks the signature.
EMSCRIPTEN_KEEPALIVE int beginRun() {
  tally = frennick::RunTally{};
  lastAsRead = block.pages[0];
  return frennick::matchesCartSignature(block.pages[0]) ? 1 : 0;
}

// Matches slots 1 to `count` as the tool does, counting the pixels that
// change from page to page before and after.
EMSCRIPTEN_KEEPALIVE void matchPages(int count) {
  const auto pages = static_cast<std::size_t>(count);
  for (std::size_t i = 1; i <= pages; ++i)
    changesBefore[i] =
        pixelChanges(i == 1 ? lastAsRead : block.pages[i - 1], block.pages[i]);
  if (pages > 0) lastAsRead = block.pages[pages];
  frennick::matchBlock(block, pages, tally);
  for (std::size_t i = 1; i <= pages; ++i)
    changesAfter[i] = pixelChanges(block.pages[i - 1], block.pages[i]);
}

EMSCRIPTEN_KEEPALIVE int pixelChangesBefore(int slot) {
  return changesBefore[static_cast<std::size_t>(slot)];
}
EMSCRIPTEN_KEEPALIVE int pixelChangesAfter(int slot) {
  return changesAfter[static_cast<std::size_t>(slot)];
}

// The first slot of the next run of changed pages from slot `from` on, and
// its length (0: none left).
EMSCRIPTEN_KEEPALIVE int changedRunFirst(int from) {
  return static_cast<int>(
      frennick::nextChangedRun(block, static_cast<std::size_t>(from)).first);
}
EMSCRIPTEN_KEEPALIVE int changedRunCount(int from) {
  return static_cast<int>(
      frennick::nextChangedRun(block, static_cast<std::size_t>(from)).count);
}

EMSCRIPTEN_KEEPALIVE void endBlock(int count) {
  frennick::startNextBlock(block, static_cast<std::size_t>(count));
}

// The messages, as the tool prints them.
EMSCRIPTEN_KEEPALIVE const char* firstPageFailure() {
  frennick::formatFirstPageFailure(line, sizeof line, 0);
  return line;
}
EMSCRIPTEN_KEEPALIVE const char* noSignature() {
  frennick::formatNoSignature(line, sizeof line);
  return line;
}
// `pages`: the page the walk stopped at, the count of whole pages.
EMSCRIPTEN_KEEPALIVE const char* summary(double pages) {
  tally.pageNumber = static_cast<std::int64_t>(pages);
  frennick::formatSummary(line, sizeof line, tally);
  return line;
}

EMSCRIPTEN_KEEPALIVE void digestBegin(int which) {
  digests[static_cast<std::size_t>(which)] = frennick::StreamDigest{};
}
EMSCRIPTEN_KEEPALIVE std::uint8_t* digestInputBytes() {
  return digestInput.data();
}
EMSCRIPTEN_KEEPALIVE int digestInputSize() {
  return static_cast<int>(digestInput.size());
}
EMSCRIPTEN_KEEPALIVE void digestAdd(int which, const std::uint8_t* bytes,
                                    int size) {
  digests[static_cast<std::size_t>(which)].add(bytes,
                                               static_cast<std::size_t>(size));
}
// As 16 hexadecimal digits.
EMSCRIPTEN_KEEPALIVE const char* digestValue(int which) {
  std::snprintf(line, sizeof line, "%016llx",
                static_cast<unsigned long long>(
                    digests[static_cast<std::size_t>(which)].value()));
  return line;
}

}  // extern "C"
