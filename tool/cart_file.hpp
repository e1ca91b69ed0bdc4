// The platform's file calls for the cart stream, and nothing else.
#pragma once

#include <cstdint>
#include <cstdio>

namespace frennick {

// Opens an existing cart for binary reading and updating; never creates or
// truncates it. The stream is unbuffered so that every read or write of
// pages is one call to the operating system and a page is never split
// between a buffer and the file. Returns null with errno set on failure.
std::FILE* openCartForUpdate(const char* path);

// Absolute seek with a 64-bit offset, so that carts past 2 GiB work.
bool seekCart(std::FILE* cart, std::int64_t offset);

// True when part of the cart is a hole that takes disk space only once it
// is written (a sparse file). False where that cannot be told.
bool cartHasHoles(std::FILE* cart);

// Has the file system set aside the space that writing these bytes of a
// sparse cart will take, so that a full disk fails before a write begins
// instead of halfway through a page. False, with errno set, only when there
// is no room; where the file system cannot tell, the write will.
bool reserveCartSpace(std::FILE* cart, std::int64_t offset,
                      std::int64_t length);

}  // namespace frennick
