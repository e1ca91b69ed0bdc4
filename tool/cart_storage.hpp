// What the file system does for the cart beyond reading and writing it:
// locking it, telling whether writes need new space and setting it aside,
// syncing it, and dropping its pages from the system's cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace frennick {

struct OpenedCart {
  std::FILE* stream;  // null when the cart could not be had
  bool inUse;         // another program holds it: nothing was read
};

// Opens an existing cart for binary reading and updating, never creating or
// truncating it, and locks it before anything is read. On a failure other
// than the cart being in use, errno says why.
OpenedCart openLockedForUpdate(const char* path);

// True when part of the cart is a hole that takes disk space only once it
// is written (a sparse file). False where that cannot be told.
bool hasHoles(int descriptor);

// Copy-on-write file systems (btrfs, ZFS, bcachefs) need new space even to
// overwrite, and may run out of it inside a page.
bool copiesOnWrite(int descriptor);

// Has the file system set aside the space that writing these bytes of a
// sparse cart will take. False, with errno set, only when there is no room;
// where the file system cannot tell, the write will.
bool reserve(int descriptor, std::int64_t offset, std::int64_t length);

// A cart kept out of copy-on-write (chattr +C on btrfs) whose blocks no
// other file or snapshot shares: overwriting it takes no new space, as on
// any other file system.
bool overwritesInPlace(int descriptor);

// An unnamed file in the cart's folder, on its file system, for the new
// bytes of pages before they go into the cart: nothing is left of it after
// a crash. `descriptor` -1 where there can be none, and `error` why (the
// folder full, over its quota, or not the user's to write).
struct Scratch {
  int descriptor;
  int error;
};
Scratch openScratchBeside(int descriptor);

// The first of `count` pages of a file, from `firstPage` on, whose bytes do
// not all lie in one extent of it (one piece on the disk, which a clone
// takes or leaves whole); `firstPage + count` when every page does, or when
// the file system cannot tell. Puts the pages on the disk first: only then
// have they a place there.
std::int64_t firstSplitPage(int descriptor, std::int64_t firstPage,
                            std::int64_t count);

// Makes `length` bytes of file `to` from `offset` share the bytes of file
// `from` at the same offset (a clone), without writing them again. False,
// with errno set, when the file system refuses or has no room for it.
bool cloneBetween(int from, int to, std::int64_t offset, std::int64_t length);

#ifndef _WIN32
// Reads with the offset in each call, again after a signal: the bytes
// read, fewer only at the file's end or on a failure (`failed`, errno). A
// regular file returns less than asked only there.
std::size_t readAt(int descriptor, std::int64_t offset, void* bytes,
                   std::size_t size, bool& failed);

// Writes with the offset in each call, again after a signal, until all is
// written or the system says why not (errno): the bytes written.
std::size_t writeAt(int descriptor, std::int64_t offset, const void* bytes,
                    std::size_t size);
#endif

// The bytes a file system says it can still take; -1 where it cannot tell.
std::int64_t freeBytes(int descriptor);

// Asks the operating system to put the cart on the storage device. False,
// with errno set, when the device refused it.
bool syncToDevice(std::FILE* cart);

// After a failed sync the system may keep the pages the device refused,
// marked as written: a rerun would read them and believe the job done.
// Drops every cached page of the cart, so that the next run reads what the
// device really holds. Leaves errno as it was.
void forgetCachedPages(std::FILE* cart);

}  // namespace frennick
