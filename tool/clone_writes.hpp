// Writes to a cart on a copy-on-write file system (btrfs, bcachefs, ZFS)
// that leave every page whole however full the disk or the quota, and all
// the calls they need (the scratch file, its extents, the clones): the new
// bytes go first into an unnamed scratch file beside the cart, where
// running out of space harms nothing, and reach the cart only as clones of
// whole pages, which take no new space for data; the cart's old pages give
// their room back as they go. The file system's free figure is only an
// estimate, and a quota does not show in it at all: it sizes the batches,
// and nothing else rests on it. A clone stopped by a signal stops between
// two items of the scratch file (a run of its bytes in one piece of the
// disk): a page is cloned only when its bytes lie in one item.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "cart_layout.hpp"

namespace frennick {

// A cart kept out of copy-on-write (chattr +C on btrfs) whose blocks no
// other file or snapshot shares: overwriting it takes no new space, as on
// any other file system.
bool overwritesInPlace(int cart);

// Where writes stopped: every page before `page` is in the cart; when
// `error` is not 0, the page `page` is not, and why. Of the pages after it,
// those that the file system found room for may be in the cart too: a run
// again finishes the job as one uninterrupted run would.
struct WritesStop {
  std::int64_t page;
  int error;
};

class CloneWrites {
 public:
  CloneWrites() noexcept = default;
  ~CloneWrites();
  CloneWrites(const CloneWrites&) = delete;
  CloneWrites& operator=(const CloneWrites&) = delete;

  // Makes the scratch file beside the cart. Where there can be none (the
  // folder full, over its quota, not the user's to write), `error()` says
  // why; where the file system will not clone it into the cart, nothing is
  // kept open.
  enum class Opened { Clones, NoScratch, NoClones };
  Opened open(int cart) noexcept;
  int error() const noexcept { return error_; }

  // Pages into the scratch file, each at its own offset in the cart. A
  // clone waits for its pages to be on the disk, and the sync after it for
  // their checksums: so pages are cloned many at a time, once written, as a
  // whole run writes the disk only after reading it; a batch takes at most
  // half the room the file system reports, so that the cart's old pages
  // give room back before it runs out. When the scratch file has no room
  // all the same, what it holds goes into the cart and the write is tried
  // again. Returns where the cart stops when even then there is no room, or
  // a clone none.
  WritesStop write(std::int64_t firstPage, const CartPage* pages,
                   std::size_t count) noexcept;

  // Clones every page still waiting into the cart.
  WritesStop complete() noexcept;

 private:
  struct Pages {
    std::int64_t first = 0;
    std::int64_t count = 0;
  };
  // Pages that found no room to be written again in one piece, tried once
  // more after the pages behind them are in the cart.
  struct Left {
    std::array<std::int64_t, 64> pages;
    std::size_t count = 0;
  };
  std::int64_t putIntoScratch(std::int64_t firstPage, const CartPage* pages,
                              std::int64_t count) noexcept;
  WritesStop cloneInto(const Pages& pages, Left* left) noexcept;
  WritesStop cloneRun(std::int64_t first, std::int64_t count) noexcept;
  bool writeAgain(std::int64_t page) noexcept;

  int cart_ = -1;
  int scratch_ = -1;
  int error_ = 0;
  // Runs of consecutive pages in the scratch file only, in order: the
  // pages between them are the cart's own, which the scratch file's holes
  // must not replace.
  std::array<Pages, 1024> waiting_{};
  std::size_t runs_ = 0;
  std::int64_t pagesWaiting_ = 0;
  std::int64_t batch_ = 0;  // pages waiting when they are cloned
  bool quotas_ = false;
};

}  // namespace frennick
