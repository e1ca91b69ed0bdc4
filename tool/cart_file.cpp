#include "cart_file.hpp"

#include <cerrno>
#include <cstdio>

#ifndef _WIN32
#include <sys/types.h>
#endif

#include "file_calls.hpp"

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

constexpr auto kPageBytes = static_cast<std::int64_t>(kPageSize);

}  // namespace

CartFile::CartFile(std::FILE* stream) noexcept : stream_(stream) {}

CartFile::~CartFile() {
  if (stream_ != nullptr) std::fclose(stream_);
}

CartFile::Opened CartFile::open(const char* path) noexcept {
  const OpenedCart opened = openLockedForUpdate(path);
  if (opened.inUse) return Opened::InUse;
  if (opened.stream == nullptr) return Opened::Failed;
  stream_ = opened.stream;
  // Unbuffered: every read or write of pages is one call to the operating
  // system, and a page is never split between a buffer and the file.
  std::setvbuf(stream_, nullptr, _IONBF, 0);
#ifndef _WIN32
  descriptor_ = fileno(stream_);
  kind_ = fileSystemKind(descriptor_);
  // Through FUSE, written through the cache, a write reaches the file
  // system a page of memory (4 KiB) at a time, and a kill -9 between two
  // would cut a cart's page; written directly, from memory aligned to its
  // pages, in requests of up to 128 KiB that start and end between pages.
  if (kind_.fuse) writeDirectly(descriptor_);
#endif
  return Opened::Yes;
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

// The bytes of one write that reached the cart, counted from the start;
// errno says why when fewer than all.
std::size_t CartFile::put(std::int64_t offset, const void* bytes,
                          std::size_t size) noexcept {
  errno = 0;
#ifndef _WIN32
  if (descriptor_ >= 0) return writeAt(descriptor_, offset, bytes, size);
#endif
  std::clearerr(stream_);
  if (!seekTo(stream_, offset)) return 0;  // nothing may land anywhere else
  return std::fwrite(bytes, 1, size, stream_);  // unbuffered: all it wrote
}

// How changed pages reach the cart, by what holds it. A copy-on-write file
// system needs new space even to overwrite, and runs out of it at any 4 KiB,
// inside a page, with no space left to put the page back either; elsewhere
// only a sparse cart's holes need new space, which can be set aside first.
//
//   file system    the cart                   route
//   copy-on-write  shares blocks or is         Clones: whole pages through
//                  copy-on-write               a scratch file
//                  ... no scratch file made    Nothing: not a page written
//                  ... cannot be cloned        WhatFits: what the free
//                                              figure allows
//   copy-on-write  chattr +C, blocks its own   as on any other
//   any other      has holes                   ReserveFirst: room set aside
//   any other      whole                       InPlace
//
// On a share, or FUSE over anything but a disk of its own, writes also keep
// to the run's account of the room (see roomForBatch). Where the file system
// cannot set room aside at all, a sparse cart is written InPlace.
CartFile::Route CartFile::chooseRoute() noexcept {
  if (descriptor_ < 0) return Route::InPlace;  // nothing else to ask there
  if (kind_.copiesOnWrite && !overwritesInPlace(descriptor_)) {
    switch (clones_.open(descriptor_)) {
      case CloneWrites::Opened::Clones:
        return Route::Clones;  // holes included
      case CloneWrites::Opened::NoScratch:
        return Route::Nothing;
      case CloneWrites::Opened::NoClones:
        return Route::WhatFits;
    }
  }
  return hasHoles(descriptor_) ? Route::ReserveFirst : Route::InPlace;
}

// How many of these pages the file system has room for, counted from the
// first; the pages past them must not be written at all, so that a full
// disk stops a write between pages, not inside one. With fewer than all,
// why: ENOSPC, or EDQUOT for a quota.
CartFile::Room CartFile::pagesWithRoom(std::int64_t firstPage,
                                       std::size_t count) noexcept {
  const std::int64_t bytes = static_cast<std::int64_t>(count) * kPageBytes;
  if (route_ == Route::Nothing) return {0, clones_.error()};
  // Only the file system's word for its room; on a share, which may copy
  // on write on its server, the run's account of it (see roomForBatch,
  // asked once a batch: it takes a trip to the server), so that a batch
  // that fails finds room to be put back.
  const std::int64_t usable = kind_.overAnything ? batchRoom_
                              : route_ == Route::WhatFits
                                  ? freeBytes(descriptor_)
                                  : -1;
  if (usable >= 0 && usable < bytes) {
    return {static_cast<std::size_t>(usable / kPageBytes), ENOSPC};
  }
  if (route_ != Route::ReserveFirst) return {count, 0};
  switch (reserve(descriptor_, pageFileOffset(firstPage), bytes)) {
    case Reserved::Yes:
      return {count, 0};
    case Reserved::CannotTell:
      route_ = Route::InPlace;  // and not asked again
      return {count, 0};
    case Reserved::NoRoom:
      break;
  }
  // Not all at once: set aside what there is, page by page.
  std::size_t room = 0;
  while (room < count &&
         reserve(descriptor_,
                 pageFileOffset(firstPage + static_cast<std::int64_t>(room)),
                 kPageBytes) == Reserved::Yes) {
    ++room;
  }
  return {room, room < count ? errno : 0};
}

PagesWritten CartFile::writeWhole(std::int64_t firstPage, const CartPage* pages,
                                  std::size_t count) noexcept {
  if (route_ == Route::NotChosen) route_ = chooseRoute();
  const auto [room, noRoom] = pagesWithRoom(firstPage, count);
  PagesWritten written{0, noRoom};
  written.noRoom = noRoom != 0;
  if (room == 0) return written;
  if (route_ == Route::Clones) {
    return writtenUpTo(clones_.write(firstPage, pages, count), firstPage,
                       count);
  }
  const std::size_t size = room * kPageSize;
  const std::size_t landed = put(pageFileOffset(firstPage), pages, size);
  if (batchRoom_ >= 0) batchRoom_ -= static_cast<std::int64_t>(landed);
  if (landed == size) {
    written.pages = room;
    return written;
  }
  return {landed / kPageSize, errno, landed % kPageSize};
}

bool CartFile::makeDurable() noexcept {
  errno = 0;
  return syncToDevice(stream_);
}

std::int64_t CartFile::roomForBatch() noexcept {
  // Half the room first reported, less what the run has written since, or
  // half of what is reported now where that is less: a share over a
  // copy-on-write disk spends room on every overwrite, yet btrfs reports
  // none of it spent until it commits.
  // A disk of FUSE's own (NTFS, exFAT) overwrites in place: a batch there
  // takes no room but a sparse cart's holes, which the route sees to.
  if (descriptor_ < 0 || !kind_.overAnything) return -1;
  const int saved = errno;
  const std::int64_t free = freeBytes(descriptor_);
  errno = saved;
  if (free >= 0 && (!roomAsked_ || free / 2 < batchRoom_)) {
    batchRoom_ = free / 2;
  }
  roomAsked_ = true;
  return batchRoom_;
}

bool CartFile::putBack(std::int64_t page, const CartPage& original,
                       std::size_t size) noexcept {
  return put(pageFileOffset(page), original.data(), size) == size;
}

PagesWritten CartFile::completeWrites(std::int64_t nextPage) noexcept {
  if (route_ != Route::Clones) return {0, 0};
  return writtenUpTo(clones_.complete(), nextPage, 0);
}

// What a stop of the clones means for a write of `count` pages from
// `firstPage` on.
PagesWritten CartFile::writtenUpTo(const WritesStop& stop,
                                   std::int64_t firstPage,
                                   std::size_t count) noexcept {
  if (stop.error == 0) return {count, 0};
  if (stop.page >= firstPage) {
    return {static_cast<std::size_t>(stop.page - firstPage), stop.error};
  }
  PagesWritten written{0, stop.error};
  written.earlier = static_cast<std::size_t>(firstPage - stop.page);
  return written;
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
