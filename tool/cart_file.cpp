#include "cart_file.hpp"

#include <cerrno>
#include <cstdio>

#include "termination_hold.hpp"

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <cwchar>
#include <vector>
#else
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <fcntl.h>
#endif

namespace frennick {
namespace {

#ifdef _WIN32
// Windows opens any file name only in its wide form.
std::FILE* openForUpdate(const char* utf8Path) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8Path, -1, nullptr, 0);
  if (size <= 0) {
    errno = EINVAL;
    return nullptr;
  }
  std::vector<wchar_t> wide(static_cast<std::size_t>(size));
  MultiByteToWideChar(CP_UTF8, 0, utf8Path, -1, wide.data(), size);
  return _wfopen(wide.data(), L"rb+");
}
#else
std::FILE* openForUpdate(const char* path) { return std::fopen(path, "rb+"); }
#endif

// Absolute seek with a 64-bit offset, so that carts past 2 GiB work.
bool seekTo(std::FILE* cart, std::int64_t offset) {
#ifdef _WIN32
  return _fseeki64(cart, offset, SEEK_SET) == 0;
#else
  static_assert(sizeof(off_t) >= 8, "carts past 2 GiB need a 64-bit off_t");
  return fseeko(cart, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// True when part of the cart is a hole that takes disk space only once it
// is written (a sparse file). False where that cannot be told.
bool hasHoles(std::FILE* cart) {
#ifdef _WIN32
  (void)cart;
  return false;
#else
  struct stat status {};
  const int saved = errno;
  const bool known = fstat(fileno(cart), &status) == 0;
  errno = saved;
  return known && S_ISREG(status.st_mode) &&
         static_cast<std::int64_t>(status.st_blocks) * 512 < status.st_size;
#endif
}

// Has the file system set aside the space that writing these bytes of a
// sparse cart will take. False, with errno set, only when there is no room;
// where the file system cannot tell, the write will.
bool reserve(std::FILE* cart, std::int64_t offset, std::int64_t length) {
#ifdef __linux__
  const int saved = errno;
  if (fallocate(fileno(cart), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                static_cast<off_t>(length)) == 0) {
    return true;
  }
  if (errno == ENOSPC || errno == EDQUOT) {
    return false;
  }
  errno = saved;
  return true;
#else
  (void)cart;
  (void)offset;
  (void)length;
  return true;
#endif
}

// Asks the operating system to put what was written on the storage device.
// A stream with no file descriptor (one made of the program's own
// functions) has nothing held there beyond what fflush handed over.
bool sync(std::FILE* cart) {
#ifdef _WIN32
  const int descriptor = _fileno(cart);
  return descriptor < 0 || _commit(descriptor) == 0;
#else
  const int descriptor = fileno(cart);
  if (descriptor < 0) return true;
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0 && \
    !defined(__APPLE__)
  return fdatasync(descriptor) == 0;
#else
  return fsync(descriptor) == 0;
#endif
#endif
}

}  // namespace

std::FILE* openCartForUpdate(const char* path) {
  std::FILE* cart = openForUpdate(path);
  if (cart != nullptr) {
    std::setvbuf(cart, nullptr, _IONBF, 0);
  }
  return cart;
}

CartFile::~CartFile() {
  if (stream_ != nullptr) std::fclose(stream_);
}

PagesRead CartFile::read(std::int64_t firstPage, CartPage* pages,
                         std::size_t count) noexcept {
  std::clearerr(stream_);  // ferror below must speak of this read alone
  errno = 0;
  if (!seekTo(stream_, pageFileOffset(firstPage))) {
    return {0, ReadEnd::Failed, errno};
  }
  const std::size_t wanted = count * kPageSize;
  const std::size_t got = std::fread(pages, 1, wanted, stream_);
  if (got == wanted) {
    return {count, ReadEnd::Whole, 0};
  }
  // End of file is told from a failure by the stream, not by errno.
  if (std::ferror(stream_)) {
    return {got / kPageSize, ReadEnd::Failed, errno};
  }
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
  std::clearerr(stream_);
  errno = 0;
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

// In a sparse cart, how many of these pages the file system has room for,
// counted from the first; the pages past them must not be written at all.
std::size_t CartFile::pagesWithRoom(std::int64_t firstPage,
                                    std::size_t count) noexcept {
  const auto pageSize = static_cast<std::int64_t>(kPageSize);
  if (reserve(stream_, pageFileOffset(firstPage),
              static_cast<std::int64_t>(count) * pageSize)) {
    return count;
  }
  std::size_t room = 0;
  while (room < count &&
         reserve(stream_,
                 pageFileOffset(firstPage + static_cast<std::int64_t>(room)),
                 pageSize)) {
    ++room;
  }
  return room;
}

PagesWritten CartFile::writeWhole(std::int64_t firstPage, const CartPage* pages,
                                  const CartPage* originals,
                                  std::size_t count) noexcept {
  // Writes into holes need new space, which a full disk may refuse midway:
  // set it aside first so that the disk fills before a page, not inside one.
  if (sparse_ < 0) sparse_ = hasHoles(stream_) ? 1 : 0;
  const std::size_t room = sparse_ ? pagesWithRoom(firstPage, count) : count;
  const int noRoom = errno;
  if (room == 0) return {0, noRoom, std::nullopt, 0};

  const TerminationHold hold;
  written_ = true;
  const std::size_t size = room * kPageSize;
  const Landed landed = put(pageFileOffset(firstPage), pages, size);
  const std::size_t whole = landed.known / kPageSize;
  if (landed.known == size) {
    return {room, room < count ? noRoom : 0, std::nullopt, 0};
  }
  // Put back what reached the file of the pages not written whole.
  const std::size_t from = whole * kPageSize;
  if (landed.touched > from) {
    const Landed back =
        put(pageFileOffset(firstPage + static_cast<std::int64_t>(whole)),
            &originals[whole], landed.touched - from);
    if (back.known != landed.touched - from) {
      return {whole, landed.error, whole + back.known / kPageSize, back.error};
    }
  }
  return {whole, landed.error, std::nullopt, 0};
}

bool CartFile::close() noexcept {
  // A failed read was reported already; some C runtimes would report its
  // error flag again as a failure to close.
  std::clearerr(stream_);
  errno = 0;
  const bool synced = !written_ || sync(stream_);
  const int syncError = errno;
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (!synced) errno = syncError;
  return synced && closed;
}

}  // namespace frennick
