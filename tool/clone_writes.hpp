// Writes to a cart on a copy-on-write file system (btrfs, bcachefs, ZFS)
// that leave every page whole however full the disk or the quota: the new
// bytes go first into an unnamed scratch file beside the cart, where
// running out of space harms nothing, and reach the cart only as clones of
// whole pages, which take no new space for data. The file system's free
// figure is never trusted: it is an estimate, and a quota does not show in
// it at all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cart_layout.hpp"

namespace frennick {

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

  // Makes the scratch file beside the cart; false where the cart's file
  // system cannot clone it into the cart (then nothing is kept open).
  bool open(int cart) noexcept;

  // Pages into the scratch file. A clone waits for its pages to be on the
  // disk first: so pages are cloned many at a time, one batch behind, while
  // the system writes out the next. Returns where the cart stops when the
  // scratch file has no room, or a clone none.
  WritesStop write(std::int64_t firstPage, const CartPage* pages,
                   std::size_t count) noexcept;

  // Clones every page still waiting into the cart.
  WritesStop complete() noexcept;

 private:
  struct Pages {
    std::int64_t first = 0;
    std::int64_t count = 0;
  };
  // Clones `pages` into the cart; they are none after.
  WritesStop cloneInto(Pages& pages) noexcept;

  int cart_ = -1;
  int scratch_ = -1;
  // Pages in the scratch file only: the older ones to be cloned next, and
  // those still being added to.
  Pages cloning_;
  Pages waiting_;
};

}  // namespace frennick
