#include "cart_file.hpp"

#include <cerrno>
#include <cstdio>

#ifdef __linux__
#include <fcntl.h>
#endif
#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#include <vector>
#endif
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/types.h>
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

}  // namespace

std::FILE* openCartForUpdate(const char* path) {
  std::FILE* cart = openForUpdate(path);
  if (cart != nullptr) {
    std::setvbuf(cart, nullptr, _IONBF, 0);
  }
  return cart;
}

bool seekCart(std::FILE* cart, std::int64_t offset) {
#ifdef _WIN32
  return _fseeki64(cart, offset, SEEK_SET) == 0;
#else
  static_assert(sizeof(off_t) >= 8, "carts past 2 GiB need a 64-bit off_t");
  return fseeko(cart, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool cartHasHoles(std::FILE* cart) {
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

bool reserveCartSpace(std::FILE* cart, std::int64_t offset,
                      std::int64_t length) {
#ifdef __linux__
  const int saved = errno;
  if (fallocate(fileno(cart), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                static_cast<off_t>(length)) == 0) {
    return true;
  }
  if (errno == ENOSPC || errno == EDQUOT) {
    return false;
  }
  errno = saved;  // the file system cannot reserve; the write will tell
  return true;
#else
  (void)cart;
  (void)offset;
  (void)length;
  return true;
#endif
}

}  // namespace frennick
