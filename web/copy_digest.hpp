// A digest of a stream of bytes, however it is cut into pieces: the page
// digests the copy as it writes it, and again as it reads the copy back,
// and offers the copy only when the two agree. Not cryptographic: it finds
// bytes lost, zeroed, repeated or out of place, not an adversary.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace frennick {

class StreamDigest {
 public:
  void add(const std::uint8_t* bytes, std::size_t size) noexcept;
  // Of every byte added so far; more may be added after.
  std::uint64_t value() const noexcept;

 private:
  static constexpr std::size_t kStripe = 32;
  void mix(const std::uint8_t* stripe) noexcept;

  std::array<std::uint64_t, 4> lanes_{0x60EA27EEADC0B5D6ULL,
                                      0xC2B2AE3D27D4EB4FULL, 0x0ULL,
                                      0x61C8864E7A143579ULL};
  std::array<std::uint8_t, kStripe> carry_{};
  std::size_t carried_ = 0;
  std::uint64_t length_ = 0;
};

}  // namespace frennick
