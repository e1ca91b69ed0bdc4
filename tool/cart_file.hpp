// The cart, and every call on it: opened for update and locked, read a
// block at a time, its changed pages written back whole by the route its
// file system needs (chosen once, in one table), synced and closed. The
// calls themselves are file_calls', and a copy-on-write file system's
// clone_writes'. It knows pages, not what matching did to them: a page that
// a write cut short is put back by the walk, which knows how it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "cart_layout.hpp"
#include "clone_writes.hpp"
#include "file_calls.hpp"

namespace frennick {

enum class ReadEnd { Whole, EndOfFile, Failed };

struct PagesRead {
  std::size_t pages;  // whole pages that arrived
  ReadEnd end;
  int error;  // errno of a failed read, else 0
};

struct PagesWritten {
  std::size_t pages;  // written whole, counted from the first
  int error;          // when fewer than all: why, as errno
  // Bytes of the page after them that did reach the cart: a write cut
  // short inside it, which must be put back.
  std::size_t cut = 0;
  // The pages after them were not written at all, for want of room; the
  // ones before did not fail.
  bool noRoom = false;
  // Pages before the first, taken by an earlier call, that did not reach
  // the cart after all (see completeWrites): the run stops that many pages
  // before this call's first.
  std::size_t earlier = 0;
};

class CartFile {
 public:
  CartFile() noexcept = default;
  // A stream already open: one made of the program's own functions, say.
  explicit CartFile(std::FILE* stream) noexcept;
  ~CartFile();
  CartFile(const CartFile&) = delete;
  CartFile& operator=(const CartFile&) = delete;

  // Opens an existing cart for binary reading and updating, never creating
  // or truncating it, and has it to itself until it is closed: two runs at
  // once would each read pages the other is halfway through writing. Where
  // the file system cannot lock at all, the cart is opened all the same.
  // Failed: errno says why.
  enum class Opened { Yes, InUse, Failed };
  Opened open(const char* path) noexcept;

  // Reads up to `count` pages from `firstPage` on.
  PagesRead read(std::int64_t firstPage, CartPage* pages,
                 std::size_t count) noexcept;

  // Writes `count` consecutive pages with one call, each page whole or not
  // at all where the route can promise it. Pages the file system has no
  // room for are not written at all.
  PagesWritten writeWhole(std::int64_t firstPage, const CartPage* pages,
                          std::size_t count) noexcept;

  // Writes the first `size` bytes of `page` as they were before a write cut
  // it short. False, with errno set, when they did not all land.
  bool putBack(std::int64_t page, const CartPage& original,
               std::size_t size) noexcept;

  // Whether the file system reports a failed write only later (a share, a
  // disk through FUSE): then the walk writes in batches, each made durable
  // before the next, so that a failure is known while the pages it may
  // have cut can still be put back.
  bool reportsFailuresLate() const noexcept { return kind_.reportsLate; }

  // Syncs what was written so far to the storage device. False, with errno
  // set, when the device or the file system refused some of it.
  bool makeDurable() noexcept;

  // The bytes the run may still write, asked of the file system as each
  // batch begins: half of what it said it could take when first asked, less
  // what was written since (writes stop short of it); -1 where it cannot
  // tell.
  std::int64_t roomForBatch() noexcept;

  // Some pages are taken by writeWhole and reach the cart only later, many
  // at a time (see CloneWrites): this puts every one of them there.
  // `nextPage` is the page after the last one written.
  PagesWritten completeWrites(std::int64_t nextPage) noexcept;

  // Syncs the cart to the storage device and closes it. Every run syncs,
  // even one that wrote nothing: that finishes the job of an earlier run
  // whose pages were still in the system's cache. False, with errno set,
  // when either fails; a failed sync is never retried, since the kernel may
  // have dropped the data it could not write and a second sync would then
  // succeed.
  bool close() noexcept;

 private:
  // How changed pages reach the cart; see chooseRoute.
  enum class Route {
    NotChosen,
    InPlace,
    ReserveFirst,
    Clones,
    WhatFits,
    Nothing
  };
  Route chooseRoute() noexcept;
  struct Room {
    std::size_t pages;
    int error;  // why fewer than asked, else 0
  };
  Room pagesWithRoom(std::int64_t firstPage, std::size_t count) noexcept;
  std::size_t put(std::int64_t offset, const void* bytes,
                  std::size_t size) noexcept;
  static PagesWritten writtenUpTo(const WritesStop& stop,
                                  std::int64_t firstPage,
                                  std::size_t count) noexcept;

  std::FILE* stream_ = nullptr;
  // The operating system's descriptor for positional reads and writes; -1
  // for a stream made of the program's own functions, or on Windows, where
  // the stream's calls are used.
  int descriptor_ = -1;
  Route route_ = Route::NotChosen;
  FileSystemKind kind_{false, false, false, false};
  // What the run may still write, where failures come late; -1: unbounded.
  std::int64_t batchRoom_ = -1;
  bool roomAsked_ = false;
  CloneWrites clones_;
};

}  // namespace frennick
