#include "page_walk.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "cart_file.hpp"
#include "cart_layout.hpp"
#include "page_polarity.hpp"
#include "run_tally.hpp"

namespace frennick {
namespace {

enum class ReadResult { Whole, EndOfFile, Failed };

// errno is cleared first so that the value printed after a failure is the
// one this read left, never a stale one from an earlier call that worked.
ReadResult readPage(std::FILE* cart, std::int64_t pageNumber, CartPage& page) {
  std::clearerr(cart);  // ferror below must speak of this read alone
  errno = 0;
  if (!seekCart(cart, pageFileOffset(pageNumber))) {
    return ReadResult::Failed;
  }
  if (std::fread(page.data(), 1, kPageSize, cart) == kPageSize) {
    return ReadResult::Whole;
  }
  // End of file is told from a failure by the stream, not by errno.
  return std::ferror(cart) != 0 ? ReadResult::Failed : ReadResult::EndOfFile;
}

// A page counts as written only once all of it has reached the operating
// system; a seek that fails must not let the page land anywhere else.
bool writePage(std::FILE* cart, std::int64_t pageNumber, const CartPage& page) {
  errno = 0;
  return seekCart(cart, pageFileOffset(pageNumber)) &&
         std::fwrite(page.data(), 1, kPageSize, cart) == kPageSize &&
         std::fflush(cart) == 0;
}

void printSummary(std::FILE* out, const RunTally& tally) {
  std::fprintf(out,
               "Process complete after %" PRId64 " pages, %" PRId64
               " patches fixing %" PRId64 " pixels out of %" PRId64
               " (%d%%).\n",
               tally.pageNumber, tally.patches, tally.pixelsFixed,
               tally.pixelsExamined, fixedPercentage(tally));
}

}  // namespace

int walkCart(std::FILE* cart, const char* path, std::FILE* out) {
  // Both pages live for the whole run; nothing is allocated per page.
  static CartPage previous;
  static CartPage current;

  if (readPage(cart, kSignaturePageNumber, current) != ReadResult::Whole) {
    std::fprintf(out, "failed to read first page, errno %d!\n", errno);
    std::fclose(cart);
    return 1;
  }
  if (!matchesCartSignature(current)) {
    std::fprintf(out,
                 "This doesn't look like a Dravo-special video cart (first "
                 "16-bytes of video page 1)\n");
    std::fclose(cart);
    return 1;
  }

  RunTally tally;
  bool readFailed = false;
  while (std::feof(cart) == 0) {
    ++tally.pageNumber;
    previous = current;
    const ReadResult read = readPage(cart, tally.pageNumber, current);
    if (read != ReadResult::Whole) {
      if (read == ReadResult::Failed) {
        std::fprintf(out, "failed to read page %" PRId64 ", errno %d!\n",
                     tally.pageNumber, errno);
        readFailed = true;
      }
      break;
    }
    if (matchPagePolarity(previous, current, tally) > 0 &&
        !writePage(cart, tally.pageNumber, current)) {
      std::fprintf(out, "failed to write page %" PRId64 ", errno %d!\n",
                   tally.pageNumber, errno);
      std::fclose(cart);
      return 1;
    }
  }

  // Close before reporting success: only then is every write known to be safe.
  errno = 0;
  if (std::fclose(cart) != 0) {
    std::fprintf(out, "failed to close '%s', errno %d!\n", path, errno);
    return 1;
  }
  printSummary(out, tally);
  // A failed read left the rest of the cart unprocessed: not a success.
  return readFailed ? 1 : 0;
}

}  // namespace frennick
