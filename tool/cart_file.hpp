// The platform's file calls for the cart stream, and nothing else.
#pragma once

#include <cstdint>
#include <cstdio>

namespace frennick {

// Opens an existing cart for binary reading and updating; never creates or
// truncates it. The stream is unbuffered so that every page read or written
// is one call to the operating system and a page is never split between a
// buffer and the file. Returns null with errno set on failure.
std::FILE* openCartForUpdate(const char* path);

// Absolute seek with a 64-bit offset, so that carts past 2 GiB work.
bool seekCart(std::FILE* cart, std::int64_t offset);

}  // namespace frennick
