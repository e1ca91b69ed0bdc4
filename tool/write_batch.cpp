#include "write_batch.hpp"

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
  if (count_ == 0) cart.roomForBatch();  // each batch asks afresh
  for (std::size_t i = 0; i < count; ++i, ++count_) {
    kept.pages[count_] = pages[i];
    kept.flips[count_] = flips[i];
    kept.numbers[count_] = firstPage + static_cast<std::int64_t>(i);
  }
}

namespace {

// Where a page of the batch stands now.
enum class Now { AsRead, AsMatched, Cut };

// Whether each page kept was read back as it was read, as matched, or
// neither, by the last look at them.
Now standings[WriteBatch::kPages];

// Page `i` kept, as it was read.
CartPage asRead(std::size_t i) noexcept {
  CartPage original = kept.pages[i];
  undoPagePolarity(original, kept.flips[i]);
  return original;
}

Now standing(CartFile& cart, std::size_t i) noexcept {
  alignas(kDirectAlignment) static CartPage now;
  const int saved = errno;
  const bool whole = cart.read(kept.numbers[i], &now, 1).end == ReadEnd::Whole;
  errno = saved;
  if (whole && now == asRead(i)) return Now::AsRead;
  if (whole && now == kept.pages[i]) return Now::AsMatched;
  return Now::Cut;
}

}  // namespace

void WriteBatch::lookAgain(CartFile& cart) const noexcept {
  for (std::size_t i = 0; i < count_; ++i) standings[i] = standing(cart, i);
}

// Puts the pages back and syncs: every page, or only those not as read by
// the last look, the cut ones first. The first errno of a failure; 0 when
// all went back.
int WriteBatch::putBackOnce(CartFile& cart, bool everyPage) const noexcept {
  int error = 0;
  for (const Now which : {Now::Cut, Now::AsMatched}) {
    for (std::size_t i = 0; i < count_; ++i) {
      if (!everyPage && standings[i] != which) continue;
      alignas(kDirectAlignment) const CartPage original = asRead(i);
      if (!cart.putBack(kept.numbers[i], original, kPageSize) && error == 0) {
        error = errno != 0 ? errno : EIO;
      }
    }
    if (everyPage) break;
  }
  if (!cart.makeDurable() && error == 0) error = errno != 0 ? errno : EIO;
  return error;
}

std::int64_t WriteBatch::putBack(CartFile& cart) const noexcept {
  // Once the sync has told the failure, a share takes writes again (sshfs
  // fails every write after one that failed, until then): the pages still
  // not as read go back again, the cut ones first, which may need less room
  // than the whole batch.
  const int first = putBackOnce(cart, true);
  int error = first;
  for (int again = 0; error != 0 && again < 2; ++again) {
    lookAgain(cart);
    error = putBackOnce(cart, false);
  }
  if (error == 0) return -1;
  // Not all went back, or not for sure: each page as it is now may be whole
  // all the same, as read or as matched.
  lookAgain(cart);
  for (std::size_t i = 0; i < count_; ++i) {
    if (standings[i] == Now::Cut) {
      errno = first;
      return kept.numbers[i];
    }
  }
  return -1;
}

}  // namespace frennick
