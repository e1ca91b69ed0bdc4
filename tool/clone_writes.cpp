#include "clone_writes.hpp"

#include <cerrno>

#include "cart_storage.hpp"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace frennick {
namespace {

// Pages waiting in the scratch file before they are cloned: 1 GiB. The
// disk is read, then written, as dd does; cloning sooner makes the reads
// and the writes of the same disk take turns, which cost a fifth more.
constexpr std::int64_t kPagesPerClone = 131072;
// Writes of a page into the scratch file in search of one piece of disk
// for it.
constexpr int kTriesForOnePiece = 3;
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

CloneWrites::Opened CloneWrites::open(int cart) noexcept {
  cart_ = cart;
  const Scratch scratch = openScratchBeside(cart);
  scratch_ = scratch.descriptor;
  if (scratch_ < 0) {
    error_ = scratch.error;
    return Opened::NoScratch;
  }
  // Page 0 cloned the other way, into the scratch file, tells whether the
  // two can share their bytes (not where only one is kept out of
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
  return clones ? Opened::Clones : Opened::NoClones;
}

WritesStop CloneWrites::write(std::int64_t firstPage, const CartPage* pages,
                              std::size_t count) noexcept {
  const auto pagesAsked = static_cast<std::int64_t>(count);
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
  const auto whole = static_cast<std::int64_t>(landed / kPageSize);
  if (whole > 0) {
    Pages* last = runs_ > 0 ? &waiting_[runs_ - 1] : nullptr;
    if (last != nullptr && last->first + last->count == firstPage) {
      last->count += whole;
    } else {
      waiting_[runs_++] = {firstPage, whole};
    }
    pagesWaiting_ += whole;
  }
  if (whole < pagesAsked) {
    // No room in the scratch file: what it holds goes into the cart now.
    const WritesStop cloned = complete();
    return cloned.error != 0 ? cloned : WritesStop{firstPage + whole, error};
  }
  if (pagesWaiting_ >= kPagesPerClone || runs_ == waiting_.size()) {
    return complete();
  }
  return {firstPage + pagesAsked, 0};
}

WritesStop CloneWrites::complete() noexcept {
  const std::size_t runs = runs_;
  runs_ = 0;
  pagesWaiting_ = 0;
  for (std::size_t i = 0; i < runs; ++i) {
    const WritesStop cloned = cloneInto(waiting_[i]);
    if (cloned.error != 0) return cloned;
  }
  return {runs > 0 ? waiting_[runs - 1].first + waiting_[runs - 1].count : 0,
          0};
}

// A clone that a signal stops, stops between two extents of the scratch
// file: a page cloned with its bytes in two would be left half new, half
// old. Such a page is written into the scratch file again, where it gets
// one piece of the disk if the file system has one that big; if it has
// none, the run stops there, for want of room for a page in one piece.
WritesStop CloneWrites::cloneInto(const Pages& pages) noexcept {
  const std::int64_t end = pages.first + pages.count;
  std::int64_t at = pages.first;
  int tries = 0;
  while (at < end) {
    const std::int64_t split = firstSplitPage(scratch_, at, end - at);
    if (split > at) {
      const WritesStop cloned = cloneRun(at, split - at);
      if (cloned.error != 0) return cloned;
      at = split;
      tries = 0;
    } else if (++tries > kTriesForOnePiece || !writeAgain(at)) {
      return {at, tries > kTriesForOnePiece ? ENOSPC : errno};
    }
  }
  return {end, 0};
}

WritesStop CloneWrites::cloneRun(std::int64_t first,
                                 std::int64_t count) noexcept {
  if (cloneBetween(scratch_, cart_, first * kPageBytes, count * kPageBytes)) {
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

bool CloneWrites::writeAgain(std::int64_t page) noexcept {
#ifdef _WIN32
  (void)page;
  errno = ENOSYS;
  return false;
#else
  static CartPage bytes;
  const std::int64_t offset = page * kPageBytes;
  bool failed = false;
  if (readAt(scratch_, offset, bytes.data(), kPageSize, failed) != kPageSize) {
    if (!failed) errno = EIO;  // the page it holds, cut short
    return false;
  }
  return writeAt(scratch_, offset, bytes.data(), kPageSize) == kPageSize;
#endif
}

}  // namespace frennick
