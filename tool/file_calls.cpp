#include "file_calls.hpp"

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
#include <linux/falloc.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#endif

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

FileSystemKind fileSystemKind(int descriptor) {
#ifdef __linux__
  struct statfs system {};
  if (fstatfs(descriptor, &system) != 0) return {false, false, false, false};
  switch (static_cast<std::uint32_t>(system.f_type)) {
    case 0x9123683EU:  // btrfs
    case 0x2FC12FC1U:  // ZFS
    case 0xCA451A4EU:  // bcachefs
      return {true, false, false, false};
    case 0x65735546U: {  // FUSE
      // On a disk of its own (fuseblk: ntfs-3g, exfat-fuse), or over
      // anything at all (sshfs, a cloud drive), which is anonymous.
      struct stat status {};
      const bool onADisk =
          fstat(descriptor, &status) == 0 && major(status.st_dev) != 0;
      return {false, true, true, !onADisk};
    }
    case 0x6969U:      // NFS
    case 0x517BU:      // SMB
    case 0xFF534D42U:  // CIFS
    case 0xFE534D42U:  // SMB2
    case 0x01021997U:  // 9p
    case 0x00C36400U:  // Ceph
    case 0x5346414FU:  // AFS
    case 0x6B414653U:  // kAFS
      return {false, true, false, true};
    default:
      return {false, false, false, false};
  }
#else
  (void)descriptor;
  return {false, false, false, false};
#endif
}

bool writeDirectly(int descriptor) {
#ifdef __linux__
  const int saved = errno;
  const int flags = fcntl(descriptor, F_GETFL);
  const bool direct =
      flags >= 0 && fcntl(descriptor, F_SETFL, flags | O_DIRECT) == 0;
  errno = saved;
  return direct;
#else
  (void)descriptor;
  return false;
#endif
}

Reserved reserve(int descriptor, std::int64_t offset, std::int64_t length) {
#ifdef __linux__
  if (fallocate(descriptor, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                static_cast<off_t>(length)) == 0) {
    return Reserved::Yes;
  }
#ifdef EDQUOT
  if (errno == EDQUOT) return Reserved::NoRoom;
#endif
  return errno == ENOSPC ? Reserved::NoRoom : Reserved::CannotTell;
#else
  (void)descriptor;
  (void)offset;
  (void)length;
  return Reserved::CannotTell;
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

std::int64_t freeBytes(int descriptor) {
#ifdef _WIN32
  (void)descriptor;
  return -1;
#else
  struct statvfs system {};
  // A file system of no size (fusefat's answer) does not know its room.
  if (fstatvfs(descriptor, &system) != 0 || system.f_blocks == 0) return -1;
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
