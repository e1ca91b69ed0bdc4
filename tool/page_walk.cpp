#include "page_walk.hpp"

#include <array>
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

// Pages are read and written many at a time: four system calls per page
// would cost far more than matching them. 256 KiB stays in the processor's
// cache between the read and the matching.
constexpr std::size_t kBlockPages = kPagesPerRead;
static_assert(kBlockPages * kPageSize <= 4 * 1024 * 1024);

enum class ReadEnd { Whole, EndOfFile, Failed };

struct BlockRead {
  std::size_t pages;  // whole pages that arrived
  ReadEnd end;
  int error;  // errno as the failing read left it
};

// Reads up to `count` pages from `firstPage` on. errno is cleared first so
// that a failure reports what this read left, never a stale value.
BlockRead readPages(std::FILE* cart, std::int64_t firstPage, CartPage* pages,
                    std::size_t count) {
  std::clearerr(cart);  // ferror below must speak of this read alone
  errno = 0;
  if (!seekCart(cart, pageFileOffset(firstPage))) {
    return {0, ReadEnd::Failed, errno};
  }
  const std::size_t wanted = count * kPageSize;
  const std::size_t got = std::fread(pages, 1, wanted, cart);
  if (got == wanted) {
    return {count, ReadEnd::Whole, 0};
  }
  // End of file is told from a failure by the stream, not by errno.
  const ReadEnd end = std::ferror(cart) ? ReadEnd::Failed : ReadEnd::EndOfFile;
  return {got / kPageSize, end, errno};
}

// Writes consecutive pages with one call. Returns how many pages are known to
// have reached the operating system whole; a seek that fails must not let the
// pages land anywhere else.
std::size_t writePages(std::FILE* cart, std::int64_t firstPage,
                       const CartPage* pages, std::size_t count) {
  errno = 0;
  if (!seekCart(cart, pageFileOffset(firstPage))) {
    return 0;
  }
  const std::size_t written = std::fwrite(pages, 1, count * kPageSize, cart);
  if (written != count * kPageSize) {
    return written / kPageSize;
  }
  // A buffered stream may only fail here, and then what it kept is unknown.
  return std::fflush(cart) == 0 ? count : 0;
}

// In a sparse cart, how many of these pages the file system has room for,
// counted from the first; the pages past them must not be written at all.
std::size_t pagesWithRoom(std::FILE* cart, std::int64_t firstPage,
                          std::size_t count) {
  const auto pageSize = static_cast<std::int64_t>(kPageSize);
  if (reserveCartSpace(cart, pageFileOffset(firstPage),
                       static_cast<std::int64_t>(count) * pageSize)) {
    return count;
  }
  std::size_t room = 0;
  while (room < count &&
         reserveCartSpace(
             cart, pageFileOffset(firstPage + static_cast<std::int64_t>(room)),
             pageSize)) {
    ++room;
  }
  return room;
}

// Writes a run of changed pages. Returns how many went out whole; when that
// is fewer than all, errno says why.
std::size_t writeRun(std::FILE* cart, bool sparse, std::int64_t firstPage,
                     const CartPage* pages, std::size_t count) {
  const std::size_t room =
      sparse ? pagesWithRoom(cart, firstPage, count) : count;
  const int noRoom = errno;
  const std::size_t written =
      room == 0 ? 0 : writePages(cart, firstPage, pages, room);
  if (written == room && room < count) {
    errno = noRoom;  // the disk is full: report it as the write would
  }
  return written;
}

// Matches pages[1..count] as a chain, pages[0] being the page before them,
// and writes each run of changed pages back. On a write failure prints its
// message and returns false.
bool matchAndWriteBack(std::FILE* cart, bool sparse, std::int64_t firstPage,
                       CartPage* pages, std::size_t count, RunTally& tally,
                       std::FILE* out) {
  std::array<bool, kBlockPages + 2> changed{};
  for (std::size_t i = 1; i <= count; ++i) {
    changed[i] = matchPagePolarity(pages[i - 1], pages[i], tally) > 0;
  }
  changed[count + 1] = false;  // ends the last run
  for (std::size_t i = 1; i <= count; ++i) {
    if (!changed[i]) continue;
    std::size_t end = i;
    while (changed[end]) ++end;
    const auto page = firstPage + static_cast<std::int64_t>(i) - 1;
    const std::size_t written =
        writeRun(cart, sparse, page, &pages[i], end - i);
    if (written != end - i) {
      std::fprintf(out, "failed to write page %" PRId64 ", errno %d!\n",
                   page + static_cast<std::int64_t>(written), errno);
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

int fail(std::FILE* cart) {
  std::fclose(cart);
  return 1;
}

}  // namespace

int walkCart(std::FILE* cart, const char* path, std::FILE* out) {
  // Slot 0 holds the page before the block in slots 1..; the buffers live
  // for the whole run and nothing is allocated per page.
  static std::array<CartPage, kBlockPages + 1> pages;

  if (readPages(cart, kSignaturePageNumber, &pages[0], 1).end !=
      ReadEnd::Whole) {
    std::fprintf(out, "failed to read first page, errno %d!\n", errno);
    return fail(cart);
  }
  if (!matchesCartSignature(pages[0])) {
    std::fprintf(out,
                 "This doesn't look like a Dravo-special video cart (first "
                 "16-bytes of video page 1)\n");
    return fail(cart);
  }

  // Writes into holes need new space, which a full disk may refuse midway.
  const bool sparse = cartHasHoles(cart);
  RunTally tally;
  BlockRead read{0, ReadEnd::Whole, 0};
  std::int64_t blockStart = kSignaturePageNumber + 1;
  while (read.end == ReadEnd::Whole) {
    read = readPages(cart, blockStart, &pages[1], kBlockPages);
    if (!matchAndWriteBack(cart, sparse, blockStart, pages.data(), read.pages,
                           tally, out)) {
      return fail(cart);
    }
    if (read.pages > 0) {
      blockStart += static_cast<std::int64_t>(read.pages);
      pages[0] = pages[read.pages];  // the page before the next block
    }
  }
  // The page whose read came up short.
  tally.pageNumber = blockStart;
  if (read.end == ReadEnd::Failed) {
    std::fprintf(out, "failed to read page %" PRId64 ", errno %d!\n",
                 tally.pageNumber, read.error);
  }

  // Close before reporting success: only then is every write known to be
  // safe. A read failure was reported already; some C runtimes would report
  // its error flag again as a close failure.
  std::clearerr(cart);
  errno = 0;
  if (std::fclose(cart) != 0) {
    std::fprintf(out, "failed to close '%s', errno %d!\n", path, errno);
    return 1;
  }
  printSummary(out, tally);
  // A failed read left the rest of the cart unprocessed: not a success.
  return read.end == ReadEnd::Failed ? 1 : 0;
}

}  // namespace frennick
