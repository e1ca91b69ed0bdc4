#include "copy_digest.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace frennick {
namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;

std::uint64_t word(const std::uint8_t* bytes) noexcept {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;  // the same on every platform the page runs on: little-endian
}

std::uint64_t round(std::uint64_t lane, std::uint64_t input) noexcept {
  return std::rotl(lane + input * kPrime2, 31) * kPrime1;
}

}  // namespace

void StreamDigest::mix(const std::uint8_t* stripe) noexcept {
  for (std::size_t i = 0; i < lanes_.size(); ++i)
    lanes_[i] = round(lanes_[i], word(stripe + 8 * i));
}

void StreamDigest::add(const std::uint8_t* bytes, std::size_t size) noexcept {
  length_ += size;
  if (carried_ > 0) {
    const std::size_t take = std::min(size, kStripe - carried_);
    std::memcpy(carry_.data() + carried_, bytes, take);
    carried_ += take;
    bytes += take;
    size -= take;
    if (carried_ < kStripe) return;
    mix(carry_.data());
    carried_ = 0;
  }
  for (; size >= kStripe; bytes += kStripe, size -= kStripe) mix(bytes);
  std::memcpy(carry_.data(), bytes, size);
  carried_ = size;
}

std::uint64_t StreamDigest::value() const noexcept {
  std::uint64_t hash = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) +
                       std::rotl(lanes_[2], 12) + std::rotl(lanes_[3], 18);
  for (const std::uint64_t lane : lanes_)
    hash = (hash ^ round(0, lane)) * kPrime1;
  hash += length_;
  for (std::size_t i = 0; i < carried_; ++i)
    hash = std::rotl(hash ^ (carry_[i] * kPrime3), 11) * kPrime1;
  hash ^= hash >> 33;
  hash *= kPrime2;
  hash ^= hash >> 29;
  hash *= kPrime3;
  return hash ^ (hash >> 32);
}

}  // namespace frennick
