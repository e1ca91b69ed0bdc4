#include "clone_writes.hpp"

#include <cerrno>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>
#endif

#include "file_calls.hpp"

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

// An unnamed file in the cart's folder, on its file system, for the new
// bytes of pages before they go into the cart: nothing is left of it after
// a crash. `descriptor` -1 where there can be none, and `error` why (the
// folder full, over its quota, or not the user's to write).
struct Scratch {
  int descriptor;
  int error;
};

Scratch openScratchBeside(int descriptor) {
#ifdef __linux__
  // The cart's folder, from the name the system has for the open cart.
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
  char path[4096];
  const ssize_t size = readlink(link, path, sizeof path - 1);
  if (size <= 0) return {-1, errno};
  path[size] = '\0';
  char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return {-1, ENOENT};
  *(slash == path ? slash + 1 : slash) = '\0';
  const int saved = errno;
  const int scratch = open(path, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  const Scratch made{scratch, scratch < 0 ? errno : 0};
  errno = saved;
  return made;
#else
  (void)descriptor;
  return {-1, EOPNOTSUPP};
#endif
}

#ifdef __linux__
// Calls `visit` with each extent of the file's bytes `offset` to
// `offset + length`, in order, until it returns false. False when the file
// system cannot tell its extents.
template <typename Visit>
bool forEachExtent(int descriptor, std::int64_t offset, std::int64_t length,
                   std::uint32_t flags, Visit visit) {
  constexpr std::uint32_t kExtents = 128;
  alignas(fiemap) static unsigned char
      space[sizeof(fiemap) + kExtents * sizeof(fiemap_extent)];
  auto* map = reinterpret_cast<fiemap*>(space);
  const auto end = static_cast<std::uint64_t>(offset + length);
  for (auto at = static_cast<std::uint64_t>(offset); at < end;) {
    std::memset(space, 0, sizeof space);
    map->fm_start = at;
    map->fm_length = end - at;
    map->fm_flags = flags;
    map->fm_extent_count = kExtents;
    if (ioctl(descriptor, FS_IOC_FIEMAP, map) != 0) return false;
    if (map->fm_mapped_extents == 0) return true;
    for (std::uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
      const fiemap_extent& extent = map->fm_extents[i];
      if (!visit(extent)) return true;
      if ((extent.fe_flags & FIEMAP_EXTENT_LAST) != 0) return true;
      at = extent.fe_logical + extent.fe_length;
    }
    flags &= ~static_cast<std::uint32_t>(FIEMAP_FLAG_SYNC);  // synced once
  }
  return true;
}
#endif

// The first of `count` pages of a file, from `firstPage` on, whose bytes do
// not all lie in one extent of it (one piece on the disk, which a clone
// takes or leaves whole); `firstPage + count` when every page does, or when
// the file system cannot tell. Puts the pages on the disk first: only then
// have they a place there.
std::int64_t firstSplitPage(int descriptor, std::int64_t firstPage,
                            std::int64_t count) {
  const std::int64_t end = firstPage + count;
#ifdef __linux__
  constexpr auto kPage = static_cast<std::int64_t>(kPageSize);
  std::int64_t split = end;
  const int saved = errno;
  forEachExtent(descriptor, firstPage * kPage, count * kPage, FIEMAP_FLAG_SYNC,
                [&](const fiemap_extent& extent) {
                  // An extent that ends inside a page splits it (and the
                  // next begins there); extents come in order.
                  const auto at = static_cast<std::int64_t>(extent.fe_logical +
                                                            extent.fe_length);
                  const std::int64_t page = at / kPage;
                  if (at % kPage != 0 && page >= firstPage && page < end) {
                    split = page;
                  }
                  return split == end;
                });
  errno = saved;
  return split;
#else
  (void)descriptor;
  return end;
#endif
}

// Makes `length` bytes of file `to` from `offset` share the bytes of file
// `from` at the same offset (a clone), without writing them again. False,
// with errno set, when the file system refuses or has no room for it.
bool cloneBetween(int from, int to, std::int64_t offset, std::int64_t length) {
#ifdef __linux__
  file_clone_range range{};
  range.src_fd = from;
  range.src_offset = static_cast<std::uint64_t>(offset);
  range.src_length = static_cast<std::uint64_t>(length);
  range.dest_offset = static_cast<std::uint64_t>(offset);
  return ioctl(to, FICLONERANGE, &range) == 0;
#else
  (void)from;
  (void)to;
  (void)offset;
  (void)length;
  errno = EOPNOTSUPP;
  return false;
#endif
}

}  // namespace

bool overwritesInPlace(int descriptor) {
#ifdef __linux__
  int attributes = 0;
  if (ioctl(descriptor, FS_IOC_GETFLAGS, &attributes) != 0 ||
      (attributes & FS_NOCOW_FL) == 0) {
    return false;
  }
  struct stat status {};
  if (fstat(descriptor, &status) != 0) return false;
  bool shared = false;
  const bool told = forEachExtent(
      descriptor, 0, status.st_size, 0, [&](const fiemap_extent& extent) {
        shared = (extent.fe_flags & FIEMAP_EXTENT_SHARED) != 0;
        return !shared;
      });
  return told && !shared;
#else
  (void)descriptor;
  return false;
#endif
}

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
