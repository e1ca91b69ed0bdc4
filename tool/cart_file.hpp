// Every call on the cart: opening it, reading pages, writing them back whole,
// setting space aside for them, syncing and closing. Nothing else touches
// the cart stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "cart_layout.hpp"

namespace frennick {

// Opens an existing cart for binary reading and updating; never creates or
// truncates it. The stream is unbuffered so that every read or write of
// pages is one call to the operating system and a page is never split
// between a buffer and the file. Returns null with errno set on failure.
std::FILE* openCartForUpdate(const char* path);

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
};

class CartFile {
 public:
  explicit CartFile(std::FILE* stream) noexcept : stream_(stream) {}
  ~CartFile();
  CartFile(const CartFile&) = delete;
  CartFile& operator=(const CartFile&) = delete;

  // Reads up to `count` pages from `firstPage` on.
  PagesRead read(std::int64_t firstPage, CartPage* pages,
                 std::size_t count) noexcept;

  // Writes `count` consecutive pages with one call, each page whole or not at
  // all: a write that ends inside a page puts back the part of it already
  // written from `originals`, the cart's bytes as they were read. Terminating
  // signals wait until it returns.
  PagesWritten writeWhole(std::int64_t firstPage, const CartPage* pages,
                          const CartPage* originals,
                          std::size_t count) noexcept;

  // Syncs what was written to the storage device (no call at all when
  // nothing was) and closes the cart. False, with errno set, when either
  // fails; a failed sync is never retried, since the kernel may have dropped
  // the data it could not write and a second sync would then succeed.
  bool close() noexcept;

 private:
  struct Landed;
  Landed put(std::int64_t offset, const void* bytes, std::size_t size) noexcept;
  std::size_t pagesWithRoom(std::int64_t firstPage, std::size_t count) noexcept;

  std::FILE* stream_;
  int sparse_ = -1;  // has holes: 1, has none: 0, not looked yet: -1
  bool written_ = false;
};

}  // namespace frennick
