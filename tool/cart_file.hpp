// Every call on the cart: opening and locking it, reading pages, writing
// them back whole, making room for them, syncing and closing. Nothing else
// touches the cart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "cart_layout.hpp"
#include "cart_storage.hpp"
#include "clone_writes.hpp"
#include "page_polarity.hpp"

namespace frennick {

// Opens an existing cart for binary reading and updating, never creating or
// truncating it, and has it to itself until it is closed: two runs at once
// would each read pages the other is halfway through writing. Where the
// file system cannot lock at all, the cart is opened all the same. On a
// failure other than the cart being in use, errno says why.
OpenedCart openCartForUpdate(const char* path);

enum class ReadEnd { Whole, EndOfFile, Failed };

struct PagesRead {
  std::size_t pages;  // whole pages that arrived
  ReadEnd end;
  int error;  // errno of a failed read, else 0
};

struct PagesWritten {
  std::size_t pages;  // written whole, counted from the first
  int error;          // when fewer than all: why, as errno
  // A page that could not be put back as it was, counted from the first:
  // part of it holds matched bytes, part of it the cart's own. And why not.
  std::optional<std::size_t> torn;
  int restoreError;
  // Pages before the first, taken by an earlier call, that did not reach
  // the cart after all (see completeWrites): the run stops that many pages
  // before this call's first.
  std::size_t earlier = 0;
};

class CartFile {
 public:
  explicit CartFile(std::FILE* stream) noexcept;
  ~CartFile();
  CartFile(const CartFile&) = delete;
  CartFile& operator=(const CartFile&) = delete;

  // Reads up to `count` pages from `firstPage` on.
  PagesRead read(std::int64_t firstPage, CartPage* pages,
                 std::size_t count) noexcept;

  // Writes `count` consecutive matched pages with one call, each page whole
  // or not at all: a write that ends inside a page puts back the part of it
  // already written, as it was read (the page with its `flips` undone).
  // Pages the file system has no room for are not written at all.
  PagesWritten writeWhole(std::int64_t firstPage, const CartPage* pages,
                          const PageFlips* flips, std::size_t count) noexcept;

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
  struct Landed;
  Landed put(std::int64_t offset, const void* bytes, std::size_t size) noexcept;
  struct Room {
    std::size_t pages;
    int error;  // why fewer than asked, else 0
  };
  Room pagesWithRoom(std::int64_t firstPage, std::size_t count) noexcept;
  PagesWritten writeOrPutBack(std::int64_t firstPage, const CartPage* pages,
                              const PageFlips* flips,
                              std::size_t count) noexcept;

  enum class Space {
    NotLooked,
    Ordinary,
    Sparse,
    CopyOnWrite,           // only the file system's estimate of its room
    CopyOnWriteClone,      // through a scratch file, a clone of whole pages
    CopyOnWriteNoScratch,  // no scratch file: nothing is written
  };
  Space lookAtSpace() noexcept;
  static PagesWritten writtenUpTo(const WritesStop& stop,
                                  std::int64_t firstPage,
                                  std::size_t count) noexcept;

  std::FILE* stream_;
  // The operating system's descriptor for positional reads and writes; -1
  // for a stream made of the program's own functions, or on Windows, where
  // the stream's calls are used.
  int descriptor_;
  Space space_ = Space::NotLooked;
  CloneWrites clones_;
};

}  // namespace frennick
