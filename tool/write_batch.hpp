// The pages a run has written since the cart was last synced, as matched,
// and which bytes matching inverted on each: on a file system that reports
// a failed write only later (a share, a disk through FUSE), the changed
// pages go out in batches, each synced before the next begins, and a batch
// whose write or sync fails is put back whole, as it was read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cart_file.hpp"
#include "page_polarity.hpp"

namespace frennick {

class WriteBatch {
 public:
  // 8 MiB of pages: a sync every 8 MiB costs a share little, and the pages
  // kept cost memory only where there is a batch at all.
  static constexpr std::size_t kPages = 1024;

  bool empty() const noexcept { return count_ == 0; }
  // Whether a batch that is not empty takes these pages too. The room is
  // the cart's to keep to (CartFile::roomForBatch).
  bool fits(std::size_t count) const noexcept {
    return count_ + count <= kPages;
  }
  // The first page kept: where a failed batch stops the run.
  std::int64_t first() const noexcept;

  // Keeps `count` consecutive pages from `firstPage` on, before they are
  // written; the first pages of a batch have the cart ask for its room.
  void keep(CartFile& cart, std::int64_t firstPage, const CartPage* pages,
            const PageFlips* flips, std::size_t count) noexcept;

  // Writes every page kept back as it was read, then syncs; where that
  // fails, the pages still not as read go back again, those cut inside
  // first. Then the first page that is neither as read nor as matched, with
  // errno why; -1 when none is.
  std::int64_t putBack(CartFile& cart) const noexcept;

  void clear() noexcept { count_ = 0; }

 private:
  void lookAgain(CartFile& cart) const noexcept;
  int putBackOnce(CartFile& cart, bool everyPage) const noexcept;

  std::size_t count_ = 0;
};

}  // namespace frennick
