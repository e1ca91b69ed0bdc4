// The run over one open cart: page 1, the signature, then every whole page.
#pragma once

#include <cstdio>

#include "cart_file.hpp"

namespace frennick {

// Walks the open cart from page 1 to its last whole page, matching each
// page against the one before it and writing back the pages that changed,
// and closes it. Prints every message to `out`, naming the cart by `path`.
// Returns the process exit status.
int walkCart(CartFile& cart, const char* path, std::FILE* out);

}  // namespace frennick
