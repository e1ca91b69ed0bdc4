#include "clone_writes.hpp"

#include <cerrno>

#include "cart_storage.hpp"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace frennick {
namespace {

// Pages one clone takes at most: 32 MiB. Fewer clones wait less.
constexpr std::int64_t kPagesPerClone = 4096;
constexpr auto kPageBytes = static_cast<std::int64_t>(kPageSize);

// A full disk, or a used-up quota where the system has quotas.
bool noRoom(int error) {
#ifdef EDQUOT
  return error == ENOSPC || error == EDQUOT;
#else
  return error == ENOSPC;
#endif
}

}  // namespace

CloneWrites::~CloneWrites() {
#ifndef _WIN32
  if (scratch_ >= 0) ::close(scratch_);
#endif
}

bool CloneWrites::open(int cart) noexcept {
  cart_ = cart;
  scratch_ = openScratchBeside(cart);
  if (scratch_ < 0) return false;
  // Page 0 cloned the other way, into the scratch file, tells whether the
  // two can share their bytes (not where the cart is kept out of
  // copy-on-write, say) and leaves the cart as it is. A file system with no
  // room even for that can clone.
  const int saved = errno;
  const bool clones =
      cloneBetween(cart, scratch_, 0, kPageBytes) || noRoom(errno);
  errno = saved;
#ifndef _WIN32
  if (!clones) {
    ::close(scratch_);
    scratch_ = -1;
  }
#endif
  return clones;
}

WritesStop CloneWrites::write(std::int64_t firstPage, const CartPage* pages,
                              std::size_t count) noexcept {
  const auto pagesAsked = static_cast<std::int64_t>(count);
  if (waiting_.count > 0 && (firstPage != waiting_.first + waiting_.count ||
                             waiting_.count + pagesAsked > kPagesPerClone)) {
    // The pages before them were on their way to the disk all the while
    // these were written: cloning them seldom has to wait.
    const WritesStop earlier = cloneInto(cloning_);
    cloning_ = waiting_;
    waiting_.count = 0;
    if (earlier.error != 0) return earlier;
  }
  errno = 0;
#ifdef _WIN32
  (void)pages;
  const std::size_t landed = 0;  // never opened there
  errno = ENOSYS;
#else
  const std::size_t landed =
      writeAt(scratch_, firstPage * kPageBytes, pages, count * kPageSize);
#endif
  const int error = errno;
  if (waiting_.count == 0) waiting_.first = firstPage;
  waiting_.count += static_cast<std::int64_t>(landed / kPageSize);
  if (landed == count * kPageSize) {
    // On their way to the disk while the next pages are matched.
    startWriteOut(scratch_, firstPage * kPageBytes, pagesAsked * kPageBytes);
    return {firstPage + pagesAsked, 0};
  }
  // No room in the scratch file: what it holds goes into the cart now.
  const WritesStop cloned = complete();
  return cloned.error != 0 ? cloned : WritesStop{cloned.page, error};
}

WritesStop CloneWrites::complete() noexcept {
  const WritesStop earlier = cloneInto(cloning_);
  if (earlier.error != 0) return earlier;
  return cloneInto(waiting_);
}

WritesStop CloneWrites::cloneInto(Pages& pages) noexcept {
  const std::int64_t first = pages.first;
  const std::int64_t count = pages.count;
  pages.count = 0;
  if (count == 0 ||
      cloneBetween(scratch_, cart_, first * kPageBytes, count * kPageBytes)) {
    return {first + count, 0};
  }
  if (!noRoom(errno)) return {first, errno};
  // No room for all of them: one page at a time, up to the first that does
  // not fit.
  std::int64_t done = 0;
  while (
      done < count &&
      cloneBetween(scratch_, cart_, (first + done) * kPageBytes, kPageBytes)) {
    ++done;
  }
  return {first + done, done < count ? errno : 0};
}

}  // namespace frennick
