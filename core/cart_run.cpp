#include "cart_run.hpp"

#include <cinttypes>
#include <cstdio>

namespace frennick {

void matchBlock(CartBlock& block, std::size_t count, RunTally& tally) noexcept {
  block.changed.fill(false);
  for (std::size_t i = 1; i <= count; ++i) {
    block.changed[i] = matchPagePolarity(block.pages[i - 1], block.pages[i],
                                         tally, block.flips[i]) > 0;
  }
}

void startNextBlock(CartBlock& block, std::size_t count) noexcept {
  if (count > 0) block.pages[0] = block.pages[count];
}

ChangedRun nextChangedRun(const CartBlock& block, std::size_t from) noexcept {
  std::size_t first = from;
  while (first <= kPagesPerBlock && !block.changed[first]) ++first;
  if (first > kPagesPerBlock) return {first, 0};
  std::size_t end = first;
  while (block.changed[end]) ++end;
  return {first, end - first};
}

int formatFirstPageFailure(char* line, std::size_t size, int error) noexcept {
  return std::snprintf(line, size, "failed to read first page, errno %d!\n",
                       error);
}

int formatNoSignature(char* line, std::size_t size) noexcept {
  return std::snprintf(line, size,
                       "This doesn't look like a Dravo-special video cart "
                       "(first 16-bytes of video page 1)\n");
}

int formatSummary(char* line, std::size_t size,
                  const RunTally& tally) noexcept {
  return std::snprintf(line, size,
                       "Process complete after %" PRId64 " pages, %" PRId64
                       " patches fixing %" PRId64 " pixels out of %" PRId64
                       " (%d%%).\n",
                       tally.pageNumber, tally.patches, tally.pixelsFixed,
                       tally.pixelsExamined, fixedPercentage(tally));
}

}  // namespace frennick
