// The operating system's calls on the cart, on each system: opening and
// locking it, positional reads and writes, room set aside and the room the
// file system reports, what kind of file system holds it, syncing it and
// dropping its pages from the system's cache. What they mean for a run is
// decided in cart_file.cpp; a copy-on-write file system's own calls are in
// clone_writes.cpp.
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

// What the file system that holds the cart does with a write, told by one
// question. `copiesOnWrite` (btrfs, ZFS, bcachefs): needs new space even to
// overwrite, and may run out of it inside a page. `reportsLate`: keeps
// writes before they reach the disk, where a write returns at once and its
// failure comes only with a later write or the sync: network ones (NFS,
// SMB, 9p, Ceph, AFS) and those mounted through FUSE (sshfs, ntfs-3g,
// exfat-fuse...). `fuse`: through FUSE, where the kernel hands a write to
// the file system in pieces, one request each. `overAnything`: a share, or
// FUSE over something other than a disk of its own, which may copy on write
// where it keeps the files (a NAS on btrfs or ZFS).
struct FileSystemKind {
  bool copiesOnWrite;
  bool reportsLate;
  bool fuse;
  bool overAnything;
};
FileSystemKind fileSystemKind(int descriptor);

// Asks the system to hand this descriptor's writes to the file system
// directly, each in requests as large as it takes, never through the cache
// a page of memory at a time. False where it will not.
bool writeDirectly(int descriptor);

// Sets aside the space that writing these bytes of a sparse cart will take.
// NoRoom, with errno set, when there is none; CannotTell where the file
// system cannot set space aside at all: its writes will tell.
enum class Reserved { Yes, NoRoom, CannotTell };
Reserved reserve(int descriptor, std::int64_t offset, std::int64_t length);

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
