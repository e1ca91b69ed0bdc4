#include "cart_layout.hpp"

#include <algorithm>

namespace frennick {

bool matchesCartSignature(const CartPage& page) noexcept {
  return std::equal(kCartSignature.begin(), kCartSignature.end(), page.begin());
}

}  // namespace frennick
