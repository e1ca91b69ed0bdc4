// The run over one open cart: page 1, the signature, then every whole page.
#pragma once

#include <cstdio>

namespace frennick {

// Walks the cart from page 1 to its last whole page, matching each page
// against the one before it and writing back the pages that changed. Takes
// ownership of `cart` and closes it. Prints every message to `out`, naming
// the cart by `path`. Returns the process exit status.
int walkCart(std::FILE* cart, const char* path, std::FILE* out);

}  // namespace frennick
