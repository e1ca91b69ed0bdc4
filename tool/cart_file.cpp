#include "cart_file.hpp"

#include <cstdio>

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace frennick {

std::FILE* openCartForUpdate(const char* path) {
  std::FILE* cart = std::fopen(path, "rb+");
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

}  // namespace frennick
