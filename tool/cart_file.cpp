#include "cart_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#ifndef _WIN32
#include <sys/types.h>
#include <unistd.h>
#endif

#include "cart_storage.hpp"

namespace frennick {
namespace {

// Absolute seek with a 64-bit offset, so that carts past 2 GiB work.
bool seekTo(std::FILE* cart, std::int64_t offset) {
#ifdef _WIN32
  return _fseeki64(cart, offset, SEEK_SET) == 0;
#else
  static_assert(sizeof(off_t) >= 8, "carts past 2 GiB need a 64-bit off_t");
  return fseeko(cart, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

}  // namespace

OpenedCart openCartForUpdate(const char* path) {
  const OpenedCart opened = openLockedForUpdate(path);
  if (opened.stream != nullptr) {
    // Unbuffered: every read or write of pages is one call to the operating
    // system, and a page is never split between a buffer and the file.
    std::setvbuf(opened.stream, nullptr, _IONBF, 0);
  }
  return opened;
}

CartFile::CartFile(std::FILE* stream) noexcept
    : stream_(stream),
#ifdef _WIN32
      descriptor_(-1) {
}
#else
      descriptor_(fileno(stream)) {
}
#endif

CartFile::~CartFile() {
  if (stream_ != nullptr) std::fclose(stream_);
}

PagesRead CartFile::read(std::int64_t firstPage, CartPage* pages,
                         std::size_t count) noexcept {
  const std::size_t wanted = count * kPageSize;
  const std::int64_t offset = pageFileOffset(firstPage);
  errno = 0;
  bool failed = false;
  std::size_t got = 0;
#ifndef _WIN32
  if (descriptor_ >= 0) {
    got = readAt(descriptor_, offset, pages, wanted, failed);
  } else
#endif
  {
    std::clearerr(stream_);  // ferror below must speak of this read alone
    if (!seekTo(stream_, offset)) return {0, ReadEnd::Failed, errno};
    got = std::fread(pages, 1, wanted, stream_);
    // End of file is told from a failure by the stream, not by errno.
    failed = got != wanted && std::ferror(stream_);
  }
  if (got == wanted) return {count, ReadEnd::Whole, 0};
  if (failed) return {got / kPageSize, ReadEnd::Failed, errno};
  return {got / kPageSize, ReadEnd::EndOfFile, 0};
}

// How much of one write reached the file: `known` bytes surely, from the
// start, and none past `touched`.
struct CartFile::Landed {
  std::size_t known;
  std::size_t touched;
  int error;
};

CartFile::Landed CartFile::put(std::int64_t offset, const void* bytes,
                               std::size_t size) noexcept {
  errno = 0;
#ifndef _WIN32
  if (descriptor_ >= 0) {
    const std::size_t written = writeAt(descriptor_, offset, bytes, size);
    return {written, written, written == size ? 0 : errno};
  }
#endif
  std::clearerr(stream_);
  if (!seekTo(stream_, offset)) {
    return {0, 0, errno};  // nothing may land anywhere else
  }
  const std::size_t written = std::fwrite(bytes, 1, size, stream_);
  if (written != size) {
    return {written, written, errno};
  }
  // A stream with a buffer of its own may fail only here, and then any of
  // the bytes may or may not have reached the file.
  if (std::fflush(stream_) != 0) {
    return {0, size, errno};
  }
  return {size, size, 0};
}

// How many of these pages the file system has room for, counted from the
// first; the pages past them must not be written at all, so that a full
// disk stops a write between pages, not inside one. With fewer than all,
// why: ENOSPC, or EDQUOT for a quota.
CartFile::Room CartFile::pagesWithRoom(std::int64_t firstPage,
                                       std::size_t count) noexcept {
  if (space_ == Space::NotLooked) space_ = lookAtSpace();
  const auto pageSize = static_cast<std::int64_t>(kPageSize);
  if (space_ == Space::CopyOnWriteNoScratch) return {0, clones_.error()};
  if (space_ == Space::CopyOnWrite) {
    const std::int64_t free = freeBytes(descriptor_);
    if (free < 0 || free >= static_cast<std::int64_t>(count) * pageSize) {
      return {count, 0};
    }
    return {static_cast<std::size_t>(free / pageSize), ENOSPC};
  }
  if (space_ != Space::Sparse ||
      reserve(descriptor_, pageFileOffset(firstPage),
              static_cast<std::int64_t>(count) * pageSize)) {
    return {count, 0};
  }
  // Writes into holes need new space: set aside what there is, page by page.
  std::size_t room = 0;
  while (room < count &&
         reserve(descriptor_,
                 pageFileOffset(firstPage + static_cast<std::int64_t>(room)),
                 pageSize)) {
    ++room;
  }
  return {room, room < count ? errno : 0};
}

// A copy-on-write file system needs new space even to overwrite, and runs
// out of it at any 4 KiB, inside a page, with no space left to put the page
// back either: there pages reach the cart as clones, unless the cart is
// kept out of copy-on-write, when it is written as anywhere else. With no
// scratch file for the clones, nothing is written: a full disk, a quota or
// a folder the user cannot write would leave the cart to the file system's
// estimate of its room, which a page can outrun. Where the file system
// only refuses to clone (ZFS before 2.2), that estimate is all there is.
CartFile::Space CartFile::lookAtSpace() noexcept {
  if (descriptor_ < 0) return Space::Ordinary;
  if (copiesOnWrite(descriptor_) && !overwritesInPlace(descriptor_)) {
    switch (clones_.open(descriptor_)) {
      case CloneWrites::Opened::Clones:
        return Space::CopyOnWriteClone;  // holes included
      case CloneWrites::Opened::NoScratch:
        return Space::CopyOnWriteNoScratch;
      case CloneWrites::Opened::NoClones:
        return Space::CopyOnWrite;
    }
  }
  return hasHoles(descriptor_) ? Space::Sparse : Space::Ordinary;
}

PagesWritten CartFile::writeWhole(std::int64_t firstPage, const CartPage* pages,
                                  const PageFlips* flips,
                                  std::size_t count) noexcept {
  const auto [room, noRoom] = pagesWithRoom(firstPage, count);
  if (room == 0) return {0, noRoom, std::nullopt, 0};
  if (space_ == Space::CopyOnWriteClone) {
    return writtenUpTo(clones_.write(firstPage, pages, count), firstPage,
                       count);
  }
  PagesWritten written = writeOrPutBack(firstPage, pages, flips, room);
  if (written.pages == room) written.error = noRoom;
  return written;
}

PagesWritten CartFile::completeWrites(std::int64_t nextPage) noexcept {
  if (space_ != Space::CopyOnWriteClone) return {0, 0, std::nullopt, 0};
  return writtenUpTo(clones_.complete(), nextPage, 0);
}

// What a stop of the clones means for a write of `count` pages from
// `firstPage` on.
PagesWritten CartFile::writtenUpTo(const WritesStop& stop,
                                   std::int64_t firstPage,
                                   std::size_t count) noexcept {
  if (stop.error == 0) return {count, 0, std::nullopt, 0};
  if (stop.page >= firstPage) {
    return {static_cast<std::size_t>(stop.page - firstPage), stop.error,
            std::nullopt, 0};
  }
  PagesWritten written{0, stop.error, std::nullopt, 0};
  written.earlier = static_cast<std::size_t>(firstPage - stop.page);
  return written;
}

// Writes `count` pages with one call; a write that ends inside a page puts
// back the part of it already written.
PagesWritten CartFile::writeOrPutBack(std::int64_t firstPage,
                                      const CartPage* pages,
                                      const PageFlips* flips,
                                      std::size_t count) noexcept {
  const std::size_t size = count * kPageSize;
  const Landed landed = put(pageFileOffset(firstPage), pages, size);
  const std::size_t whole = landed.known / kPageSize;
  if (landed.known == size) return {count, 0, std::nullopt, 0};
  // Put back what reached the file of the pages not written whole: one
  // cut short, or every page of a write whose stream failed to flush.
  for (std::size_t i = whole; i * kPageSize < landed.touched; ++i) {
    CartPage original = pages[i];
    undoPagePolarity(original, flips[i]);
    const std::size_t length =
        std::min(kPageSize, landed.touched - i * kPageSize);
    const Landed back =
        put(pageFileOffset(firstPage + static_cast<std::int64_t>(i)), &original,
            length);
    if (back.known != length) return {whole, landed.error, i, back.error};
  }
  return {whole, landed.error, std::nullopt, 0};
}

bool CartFile::close() noexcept {
  // A failed read was reported already; some C runtimes would report its
  // error flag again as a failure to close.
  std::clearerr(stream_);
  errno = 0;
  const bool synced = syncToDevice(stream_);
  const int syncError = errno;
  if (!synced) forgetCachedPages(stream_);
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (!synced) errno = syncError;
  return synced && closed;
}

}  // namespace frennick
