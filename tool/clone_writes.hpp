// Writes to a cart on a copy-on-write file system (btrfs, bcachefs, ZFS)
// that leave every page whole however full the disk or the quota, and all
// the calls they need (the scratch file, its extents, the clones): the new
// bytes go first into an unnamed scratch file beside the cart, where
// running out of space harms nothing, and reach the cart only as clones of
// whole pages, which take no new space for data. The file system's free
// figure is never trusted: it is an estimate, and a quota does not show in
// it at all. A clone stopped by a signal stops between two extents of the
// scratch file: so a page is cloned only when its bytes lie in one extent.
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
// `error` is not 0, the page `page` and those after it are not, and why.
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
  // their checksums: so pages are cloned many at a time, a GiB or so, once
  // written, as a whole run writes the disk only after reading it. Returns
  // where the cart stops when the scratch file has no room, or a clone
  // none.
  WritesStop write(std::int64_t firstPage, const CartPage* pages,
                   std::size_t count) noexcept;

  // Clones every page still waiting into the cart.
  WritesStop complete() noexcept;

 private:
  struct Pages {
    std::int64_t first = 0;
    std::int64_t count = 0;
  };
  WritesStop cloneInto(const Pages& pages) noexcept;
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
};

}  // namespace frennick
