#include "clone_writes.hpp"

#include <algorithm>
#include <cerrno>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <linux/btrfs.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>
#endif

#include "file_calls.hpp"

namespace frennick {
namespace {

// Pages waiting in the scratch file before they are cloned: at most 1 GiB,
// at most half the room the file system reports, and at least one block.
// The disk is read, then written, as dd does; cloning sooner makes the
// reads and the writes of the same disk take turns. Where the file system
// keeps quotas, which its room does not show, 32 MiB: a batch that fills
// the quota leaves no room even for the clones.
constexpr std::int64_t kMostPagesPerClone = 131072;
constexpr std::int64_t kPagesPerCloneUnderQuotas = 4096;
constexpr std::int64_t kLeastPagesPerClone = 32;
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
// The item of the file that holds byte `at`: where it starts and how long
// it is, as the file system keeps it. Asked of FIEMAP for that one byte,
// btrfs tells the item itself; asked for more, it merges items that lie one
// after the other on the disk, such as the two halves of a write that the
// end of a block group cut apart, wherever it fell. False where the file
// system cannot tell, or the byte lies in a hole.
bool itemAt(int descriptor, std::int64_t at, std::uint32_t flags,
            std::int64_t& start, std::int64_t& length) {
  alignas(fiemap) unsigned char space[sizeof(fiemap) + sizeof(fiemap_extent)];
  std::memset(space, 0, sizeof space);
  auto* map = reinterpret_cast<fiemap*>(space);
  map->fm_start = static_cast<std::uint64_t>(at);
  map->fm_length = 1;
  map->fm_flags = flags;
  map->fm_extent_count = 1;
  if (ioctl(descriptor, FS_IOC_FIEMAP, map) != 0 ||
      map->fm_mapped_extents == 0) {
    return false;
  }
  start = static_cast<std::int64_t>(map->fm_extents[0].fe_logical);
  length = static_cast<std::int64_t>(map->fm_extents[0].fe_length);
  return start <= at && start + length > at;
}

// Whether any of the file's bytes are shared with another file or a
// snapshot, as far as FIEMAP tells; true where it cannot tell.
bool anyShared(int descriptor, std::int64_t size) {
  constexpr std::uint32_t kExtents = 128;
  alignas(fiemap) static unsigned char
      space[sizeof(fiemap) + kExtents * sizeof(fiemap_extent)];
  auto* map = reinterpret_cast<fiemap*>(space);
  for (std::uint64_t at = 0; at < static_cast<std::uint64_t>(size);) {
    std::memset(space, 0, sizeof space);
    map->fm_start = at;
    map->fm_length = static_cast<std::uint64_t>(size) - at;
    map->fm_extent_count = kExtents;
    if (ioctl(descriptor, FS_IOC_FIEMAP, map) != 0) return true;
    if (map->fm_mapped_extents == 0) return false;
    for (std::uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
      const fiemap_extent& extent = map->fm_extents[i];
      if ((extent.fe_flags & FIEMAP_EXTENT_SHARED) != 0) return true;
      if ((extent.fe_flags & FIEMAP_EXTENT_LAST) != 0) return false;
      at = extent.fe_logical + extent.fe_length;
    }
  }
  return false;
}
#endif

// The first of `count` pages of a file, from `firstPage` on, whose bytes do
// not all lie in one item of it (one piece on the disk, which a clone takes
// or leaves whole); `firstPage + count` when every page does, or when the
// file system cannot tell. Puts the pages on the disk first: only then have
// they their items. One question an item.
std::int64_t firstSplitPage(int descriptor, std::int64_t firstPage,
                            std::int64_t count) {
  const std::int64_t end = firstPage + count;
#ifdef __linux__
  const int saved = errno;
  std::uint32_t flags = FIEMAP_FLAG_SYNC;
  std::int64_t start = 0;
  std::int64_t length = 0;
  for (std::int64_t at = firstPage * kPageBytes; at < end * kPageBytes;
       at = start + length, flags = 0) {
    if (!itemAt(descriptor, at, flags, start, length)) break;
    const std::int64_t itemEnd = start + length;
    if (itemEnd % kPageBytes != 0 && itemEnd < end * kPageBytes) {
      errno = saved;
      return itemEnd / kPageBytes;
    }
  }
  errno = saved;
  return end;
#else
  (void)descriptor;
  return end;
#endif
}

// The room the cart's old pages took, replaced by clones, is the file
// system's again only once it commits what it did: asked for now.
void giveRoomBack(int scratch) {
#ifdef __linux__
  const int saved = errno;
  syncfs(scratch);
  errno = saved;
#else
  (void)scratch;
#endif
}

// Whether the file system may keep quotas: btrfs shows its quota groups to
// anyone, under its id in /sys. Where its id cannot be asked (ZFS,
// bcachefs, qemu-user, which does not pass that call on), it may.
bool keepsQuotas(int descriptor) {
#ifdef __linux__
  btrfs_ioctl_fs_info_args info{};
  if (ioctl(descriptor, BTRFS_IOC_FS_INFO, &info) != 0) return true;
  char path[80] = "/sys/fs/btrfs/";
  char* at = path + std::strlen(path);
  for (int i = 0; i < 16; ++i) {
    at += std::snprintf(at, 4, "%s%02x",
                        i == 4 || i == 6 || i == 8 || i == 10 ? "-" : "",
                        info.fsid[i]);
  }
  std::strcat(path, "/qgroups");
  struct stat status {};
  return stat(path, &status) == 0;
#else
  (void)descriptor;
  return false;
#endif
}

// Pages a batch takes: half the room the file system reports, within
// bounds.
std::int64_t batchFor(int scratch, bool quotas) {
  const int saved = errno;
  const std::int64_t free = freeBytes(scratch);
  errno = saved;
  const std::int64_t most =
      quotas ? kPagesPerCloneUnderQuotas : kMostPagesPerClone;
  if (free < 0) return most;
  return std::clamp(free / 2 / kPageBytes, kLeastPagesPerClone, most);
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
  return fstat(descriptor, &status) == 0 &&
         !anyShared(descriptor, status.st_size);
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
  // As long as the cart from the start (a hole, taking no room), so that no
  // write has to make it longer.
#ifndef _WIN32
  struct stat status {};
  if (clones && fstat(cart, &status) == 0) ftruncate(scratch_, status.st_size);
#endif
  quotas_ = clones && keepsQuotas(scratch_);
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
  const auto asked = static_cast<std::int64_t>(count);
  if (batch_ == 0) batch_ = batchFor(scratch_, quotas_);
  for (std::int64_t done = 0;;) {
    done += putIntoScratch(firstPage + done, pages + done, asked - done);
    if (done == asked) break;
    // No room in the scratch file, or a failure: what it holds goes into the
    // cart now, and with room, its old pages give room back for the rest.
    const int error = errno;
    const std::int64_t waited = pagesWaiting_;
    const WritesStop cloned = complete();
    if (cloned.error != 0) return cloned;
    if (!noRoom(error) || waited == 0) return {firstPage + done, error};
    // Less room than the file system says (a quota, its own metadata):
    // smaller batches from now on.
    batch_ = std::max(kLeastPagesPerClone, waited / 2);
    giveRoomBack(scratch_);
  }
  if (pagesWaiting_ >= batch_ || runs_ == waiting_.size()) return complete();
  return {firstPage + asked, 0};
}

// Writes pages into the scratch file and notes those that landed whole as
// waiting; how many, and errno why fewer than asked.
std::int64_t CloneWrites::putIntoScratch(std::int64_t firstPage,
                                         const CartPage* pages,
                                         std::int64_t count) noexcept {
  errno = 0;
#ifdef _WIN32
  (void)firstPage;
  (void)pages;
  (void)count;
  errno = ENOSYS;  // never opened there
  return 0;
#else
  const auto size = static_cast<std::size_t>(count) * kPageSize;
  const std::size_t landed =
      writeAt(scratch_, firstPage * kPageBytes, pages, size);
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
  return whole;
#endif
}

// In order; a page that finds no room to be written again in one piece is
// left until the pages behind it are in, and then tried once more. Never is
// a page already waiting thrown away for want of room for another.
WritesStop CloneWrites::complete() noexcept {
  const std::size_t runs = runs_;
  runs_ = 0;
  pagesWaiting_ = 0;
  Left left;
  for (std::size_t i = 0; i < runs; ++i) {
    const WritesStop cloned = cloneInto(waiting_[i], &left);
    if (cloned.error != 0) return cloned;
  }
  for (std::size_t i = 0; i < left.count; ++i) {
    const WritesStop cloned = cloneInto({left.pages[i], 1}, nullptr);
    if (cloned.error != 0) return cloned;
  }
  batch_ = std::min(batch_, batchFor(scratch_, quotas_));
  return {runs > 0 ? waiting_[runs - 1].first + waiting_[runs - 1].count : 0,
          0};
}

// A clone that a signal stops, stops between two extents of the scratch
// file: a page cloned with its bytes in two would be left half new, half
// old. Such a page is written into the scratch file again, where it gets
// one piece of the disk if the file system has one that big; if it has
// none, the run stops there, for want of room for a page in one piece.
// With no room to write it again at all, it goes to `left`, where there is.
WritesStop CloneWrites::cloneInto(const Pages& pages, Left* left) noexcept {
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
    } else if (++tries > kTriesForOnePiece) {
      return {at, ENOSPC};
    } else if (!writeAgain(at)) {
      if (left == nullptr || !noRoom(errno) ||
          left->count == left->pages.size()) {
        return {at, errno};
      }
      left->pages[left->count++] = at++;
      tries = 0;
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
