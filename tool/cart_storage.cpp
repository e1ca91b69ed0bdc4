#include "cart_storage.hpp"

#include <cerrno>

#ifdef _WIN32
#include <io.h>
#include <share.h>
#include <windows.h>

#include <cwchar>
#include <vector>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>

#include <cstdio>
#include <cstring>
#endif

#include "cart_layout.hpp"

namespace frennick {

#ifdef _WIN32
// Windows opens any file name only in its wide form. Denying other writers
// is the lock: a second Frennick, or any program that holds the cart open
// for writing, is refused.
OpenedCart openLockedForUpdate(const char* utf8Path) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8Path, -1, nullptr, 0);
  if (size <= 0) {
    errno = EINVAL;
    return {nullptr, false};
  }
  std::vector<wchar_t> wide(static_cast<std::size_t>(size));
  MultiByteToWideChar(CP_UTF8, 0, utf8Path, -1, wide.data(), size);
  std::FILE* cart = _wfsopen(wide.data(), L"rb+", _SH_DENYWR);
  const bool inUse = cart == nullptr && _doserrno == ERROR_SHARING_VIOLATION;
  return {cart, inUse};
}
#else
namespace {

// A lock of the kind other programs take: flock(1) and careful programs
// take a whole-file flock; lockf(3), fcntl and QEMU's images take a record
// lock, which an open file description's own lock meets. Some systems have
// only the per-process record lock, which serves as well here: the cart
// has one descriptor for the whole run.
bool lockedByAnother(int descriptor) {
  if (flock(descriptor, LOCK_EX | LOCK_NB) != 0 &&
      (errno == EWOULDBLOCK || errno == EAGAIN)) {
    return true;
  }
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;  // from the start to the end, however long
#ifdef F_OFD_SETLK
  const int command = F_OFD_SETLK;
#else
  const int command = F_SETLK;
#endif
  // ENOLCK, EOPNOTSUPP, EINVAL: a file system or kernel that cannot lock
  // this way (some network and FUSE ones); go on as before locks.
  return fcntl(descriptor, command, &whole) != 0 &&
         (errno == EAGAIN || errno == EACCES);
}

}  // namespace

OpenedCart openLockedForUpdate(const char* path) {
  std::FILE* cart = std::fopen(path, "rb+");
  if (cart == nullptr) return {nullptr, false};
  const int saved = errno;
  if (lockedByAnother(fileno(cart))) {
    std::fclose(cart);
    return {nullptr, true};
  }
  errno = saved;
  return {cart, false};
}
#endif

bool hasHoles(int descriptor) {
#ifdef _WIN32
  (void)descriptor;
  return false;
#else
  struct stat status {};
  return fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
         static_cast<std::int64_t>(status.st_blocks) * 512 < status.st_size;
#endif
}

bool copiesOnWrite(int descriptor) {
#ifdef __linux__
  struct statfs system {};
  if (fstatfs(descriptor, &system) != 0) return false;
  switch (static_cast<std::uint32_t>(system.f_type)) {
    case 0x9123683EU:  // btrfs
    case 0x2FC12FC1U:  // ZFS
    case 0xCA451A4EU:  // bcachefs
      return true;
    default:
      return false;
  }
#else
  (void)descriptor;
  return false;
#endif
}

bool reserve(int descriptor, std::int64_t offset, std::int64_t length) {
#ifdef __linux__
  if (fallocate(descriptor, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                static_cast<off_t>(length)) == 0) {
    return true;
  }
  return errno != ENOSPC && errno != EDQUOT;
#else
  (void)descriptor;
  (void)offset;
  (void)length;
  return true;
#endif
}

#ifndef _WIN32
std::size_t readAt(int descriptor, std::int64_t offset, void* bytes,
                   std::size_t size, bool& failed) {
  auto* into = static_cast<unsigned char*>(bytes);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got =
        pread(descriptor, into + done, size - done,
              static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      failed = got < 0;
      break;
    }
  }
  return done;
}

std::size_t writeAt(int descriptor, std::int64_t offset, const void* bytes,
                    std::size_t size) {
  const auto* from = static_cast<const unsigned char*>(bytes);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put =
        pwrite(descriptor, from + done, size - done,
               static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (put > 0) {
      done += static_cast<std::size_t>(put);
    } else if (put < 0 && errno == EINTR) {
      continue;
    } else {
      if (put == 0) errno = ENOSPC;  // nothing taken, nothing said why
      break;
    }
  }
  return done;
}
#endif

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
namespace {

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

}  // namespace
#endif

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

std::int64_t freeBytes(int descriptor) {
#ifdef _WIN32
  (void)descriptor;
  return -1;
#else
  struct statvfs system {};
  if (fstatvfs(descriptor, &system) != 0) return -1;
  return static_cast<std::int64_t>(system.f_bavail) *
         static_cast<std::int64_t>(system.f_frsize);
#endif
}

// A stream with no file descriptor (one made of the program's own functions)
// has nothing held there beyond what fflush handed over.
bool syncToDevice(std::FILE* cart) {
#ifdef _WIN32
  const int descriptor = _fileno(cart);
  if (descriptor < 0) return true;
  // A device such as NUL holds nothing to sync.
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  if (GetFileType(handle) != FILE_TYPE_DISK) return true;
  return _commit(descriptor) == 0;
#else
  const int descriptor = fileno(cart);
  if (descriptor < 0) return true;
#if defined(__APPLE__)
  // fsync leaves the data in the drive's own cache there.
  if (fcntl(descriptor, F_FULLFSYNC) != -1) return true;
  if (errno != ENOTSUP && errno != EINVAL && errno != ENOTTY) return false;
  const bool synced = fsync(descriptor) == 0;
#elif defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
  const bool synced = fdatasync(descriptor) == 0;
#else
  const bool synced = fsync(descriptor) == 0;
#endif
  // EINVAL: a special file such as /dev/null, which holds nothing to sync.
  return synced || errno == EINVAL;
#endif
}

void forgetCachedPages(std::FILE* cart) {
#if defined(__linux__)
  const int descriptor = fileno(cart);
  if (descriptor >= 0) {
    const int saved = errno;
    posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
    errno = saved;
  }
#else
  (void)cart;
#endif
}

}  // namespace frennick
