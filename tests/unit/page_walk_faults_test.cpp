// The walk over streams that fail on demand: every failure gets its message
// and exit status, and the cart holds exactly what a run stopped there leaves.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "walk_fixtures.hpp"

namespace frennick {
namespace {

using testing::Bytes;
using testing::expectWalk;
using testing::FaultyCart;
using testing::Matched;
using testing::matchedUpTo;
using testing::page;
using testing::randomCart;
using testing::summary;

// One row: a cart of random pages, the fault set on it, and what the run
// must print and leave.
struct FaultCase {
  const char* name;
  int pages;
  unsigned seed;
  void (*fault)(FaultyCart&);
  // Pages 2 to this one are left matched; the rest as they were.
  std::int64_t matchedUpTo;
  const char* message;  // printed first
  // Then the summary of a run that stopped at this page; 0: none.
  std::int64_t summaryAt;
  int status;
  bool writesNothing = false;
  // Bytes left otherwise than matched or as they were.
  void (*alsoLeft)(Bytes& after, const Bytes& before) = nullptr;
};

const FaultCase kFaultCases[] = {
    {"a clean run ignores a stale errno", 6, 1,
     [](FaultyCart& c) { c.staleErrno = 11; }, 5, "", 6, 0},
    {"a cart of two pages matches nothing", 2, 2, [](FaultyCart&) {}, 1, "", 2,
     0, true},
    {"page 1 unreadable", 4, 3,
     [](FaultyCart& c) { c.badReadOffset = page(1) + 10; }, 1,
     "failed to read first page, errno 5!\n", 0, 1},
    {"a later page unreadable: reported, then the summary", 8, 4,
     [](FaultyCart& c) { c.badReadOffset = page(4) + 100; }, 3,
     "failed to read page 4, errno 5!\n", 4, 1},
    {"a write refused: the pages before it stay written", 8, 5,
     [](FaultyCart& c) {
       c.badWriteOffset = page(5);
       c.error = 28;  // ENOSPC
     },
     4, "failed to write page 5, errno 28!\n", 0, 1},
    // Random pages all change, so pages 2 to 7 go out in one write, which
    // stops 3000 bytes into page 5.
    {"a write ending inside a page puts that page back", 8, 11,
     [](FaultyCart& c) {
       c.badWriteOffset = page(5) + 3000;
       c.error = 27;  // EFBIG
     },
     4, "failed to write page 5, errno 27!\n", 0, 1},
    {"... with a stale errno", 8, 11,
     [](FaultyCart& c) {
       c.badWriteOffset = page(5) + 3000;
       c.error = 27;
       c.staleErrno = 11;
     },
     4, "failed to write page 5, errno 27!\n", 0, 1},
    {"a putting back that fails too: reported with the first error", 8, 12,
     [](FaultyCart& c) {
       c.badWriteOffset = page(5) + 3000;
       c.error = 28;
       c.writesDieAfterFault = true;  // EIO from then on
     },
     5,
     "failed to write page 5, errno 28!\n"
     "failed to restore page 5, errno 5: it is left part-written!\n",
     0, 1, false,
     [](Bytes& after, const Bytes& before) {
       std::memcpy(after.data() + page(5) + 3000,
                   before.data() + page(5) + 3000, kPageSize - 3000);
     }},
    {"page 1 short: no stale errno", 2, 13,
     [](FaultyCart& c) {
       c.bytes.resize(kPageSize + 5000);
       c.staleErrno = 11;
       errno = 11;
     },
     1, "failed to read first page, errno 0!\n", 0, 1},
    {"a failed seek before a write writes nowhere else", 6, 7,
     [](FaultyCart& c) {
       c.badSeekOffset = page(2);
       c.failSeekOnVisit = 2;  // the first visit reads page 2
     },
     1, "failed to write page 2, errno 5!\n", 0, 1},
    {"a failed seek before reading page 1 reads nothing from elsewhere", 6, 14,
     [](FaultyCart& c) {
       c.badSeekOffset = page(1);
       c.failSeekOnVisit = 1;
     },
     1, "failed to read first page, errno 5!\n", 0, 1, true},
    {"a failed seek before reading pages 2 on reads nothing from elsewhere", 6,
     14,
     [](FaultyCart& c) {
       c.badSeekOffset = page(2);
       c.failSeekOnVisit = 1;
     },
     1, "failed to read page 2, errno 5!\n", 2, 1, true},
    {"a failed close replaces the summary", 5, 8,
     [](FaultyCart& c) { c.failClose = true; }, 4,
     "failed to close 'cart.bin', errno 5!\n", 0, 1},
    {"a failed close after a failed read: both reported", 5, 9,
     [](FaultyCart& c) {
       c.badReadOffset = page(3);
       c.failClose = true;
     },
     2,
     "failed to read page 3, errno 5!\n"
     "failed to close 'cart.bin', errno 5!\n",
     0, 1},
    {"a wrong signature byte: nothing written", 5, 10,
     [](FaultyCart& c) { c.bytes[page(1) + 15] ^= 0x01; }, 1,
     "This doesn't look like a Dravo-special video cart (first 16-bytes of "
     "video page 1)\n",
     0, 1, true},
};

TEST(PageWalk, EachFaultGetsItsMessageAndLeavesWhatARunStoppedThereLeaves) {
  for (const FaultCase& row : kFaultCases) {
    SCOPED_TRACE(row.name);
    FaultyCart cart;
    cart.bytes = randomCart(row.pages, 0, row.seed);
    row.fault(cart);
    const Matched matched = matchedUpTo(cart.bytes, row.matchedUpTo);
    Bytes after = matched.bytes;
    if (row.alsoLeft != nullptr) row.alsoLeft(after, cart.bytes);
    std::string output = row.message;
    if (row.summaryAt > 0) output += summary(row.summaryAt, matched.tally);
    expectWalk(cart, output, row.status, after);
    if (row.writesNothing) {
      EXPECT_TRUE(cart.writes.empty());
    }
  }
}

}  // namespace
}  // namespace frennick
