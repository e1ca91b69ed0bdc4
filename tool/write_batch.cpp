#include "write_batch.hpp"

#include <algorithm>
#include <cerrno>

#include "cart_run.hpp"

namespace frennick {
namespace {

// Lives for the whole run, as the walk's own block does; untouched where no
// batch is kept.
struct Kept {
  alignas(kDirectAlignment) CartPage pages[WriteBatch::kPages];
  PageFlips flips[WriteBatch::kPages];
  std::int64_t numbers[WriteBatch::kPages];
} kept;

}  // namespace

std::int64_t WriteBatch::first() const noexcept { return kept.numbers[0]; }

void WriteBatch::keep(CartFile& cart, std::int64_t firstPage,
                      const CartPage* pages, const PageFlips* flips,
                      std::size_t count) noexcept {
  if (count_ == 0) {
    const std::int64_t room = cart.roomForBatch();
    limit_ = room < 0
                 ? kPages
                 : static_cast<std::size_t>(std::min<std::int64_t>(
                       kPages, room / static_cast<std::int64_t>(kPageSize)));
  }
  for (std::size_t i = 0; i < count; ++i, ++count_) {
    kept.pages[count_] = pages[i];
    kept.flips[count_] = flips[i];
    kept.numbers[count_] = firstPage + static_cast<std::int64_t>(i);
  }
}

std::int64_t WriteBatch::putBack(CartFile& cart) const noexcept {
  int error = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    alignas(kDirectAlignment) CartPage original = kept.pages[i];
    undoPagePolarity(original, kept.flips[i]);
    if (!cart.putBack(kept.numbers[i], original, kPageSize) && error == 0) {
      error = errno;
    }
  }
  if (!cart.makeDurable() && error == 0) error = errno;
  if (error == 0) return -1;
  // Not all went back, or not for sure: each page as it is now may be whole
  // all the same, as read or as matched.
  for (std::size_t i = 0; i < count_; ++i) {
    alignas(kDirectAlignment) CartPage original = kept.pages[i];
    undoPagePolarity(original, kept.flips[i]);
    alignas(kDirectAlignment) static CartPage now;
    if (cart.read(kept.numbers[i], &now, 1).end != ReadEnd::Whole ||
        (now != original && now != kept.pages[i])) {
      errno = error;
      return kept.numbers[i];
    }
  }
  return -1;
}

}  // namespace frennick
