#include "faulty_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace frennick::testing {
namespace {

// How many of `size` bytes from the current position lie before `bad`.
std::size_t bytesBefore(const FaultyCart& cart, std::int64_t bad,
                        std::size_t size) {
  if (bad < 0 || bad >= cart.position + static_cast<std::int64_t>(size))
    return size;
  return static_cast<std::size_t>(
      std::max<std::int64_t>(bad - cart.position, 0));
}

ssize_t readCart(void* cookie, char* buffer, std::size_t size) {
  auto& cart = *static_cast<FaultyCart*>(cookie);
  const std::size_t allowed = bytesBefore(cart, cart.badReadOffset, size);
  if (allowed == 0 && size > 0 && cart.badReadOffset >= 0) {
    errno = cart.error;
    return -1;
  }
  const auto end = static_cast<std::int64_t>(cart.bytes.size());
  const std::int64_t count = std::clamp<std::int64_t>(
      end - cart.position, 0, static_cast<std::int64_t>(allowed));
  std::memcpy(buffer, cart.bytes.data() + cart.position,
              static_cast<std::size_t>(count));
  cart.position += count;
  if (cart.staleErrno != 0) errno = cart.staleErrno;
  return count;
}

ssize_t writeCart(void* cookie, const char* buffer, std::size_t size) {
  auto& cart = *static_cast<FaultyCart*>(cookie);
  cart.writes.emplace_back(cart.position, size);
  if (cart.dead) {
    errno = cart.deathError;
    return 0;  // a cookie write reports failure as 0, never as -1
  }
  const std::size_t allowed = bytesBefore(cart, cart.badWriteOffset, size);
  if (allowed < size) cart.dead = cart.writesDieAfterFault;
  if (allowed == 0 && size > 0) {
    errno = cart.error;
    return 0;
  }
  const auto end = static_cast<std::size_t>(cart.position) + allowed;
  if (end > cart.bytes.size()) cart.bytes.resize(end);
  std::memcpy(cart.bytes.data() + cart.position, buffer, allowed);
  cart.position += static_cast<std::int64_t>(allowed);
  // glibc takes a short cookie write as the failure itself and makes no
  // second call, so the error the second call would report is set here.
  if (allowed < size) {
    errno = cart.error;
  } else if (cart.staleErrno != 0) {
    errno = cart.staleErrno;
  }
  return static_cast<ssize_t>(allowed);
}

int seekCart(void* cookie, off64_t* offset, int whence) {
  auto& cart = *static_cast<FaultyCart*>(cookie);
  std::int64_t target = *offset;
  if (whence == SEEK_CUR) target += cart.position;
  if (whence == SEEK_END)
    target += static_cast<std::int64_t>(cart.bytes.size());
  if (target == cart.badSeekOffset &&
      ++cart.seekVisits == cart.failSeekOnVisit) {
    errno = cart.error;
    return -1;
  }
  cart.position = target;
  *offset = target;
  return 0;
}

int closeCart(void* cookie) {
  auto& cart = *static_cast<FaultyCart*>(cookie);
  cart.closed = true;
  if (cart.failClose) {
    errno = cart.error;
    return -1;
  }
  return 0;
}

}  // namespace

std::FILE* openFaultyCart(FaultyCart& cart) {
  std::FILE* stream =
      fopencookie(&cart, "r+", {readCart, writeCart, seekCart, closeCart});
  // Unbuffered, as Frennick opens a real cart.
  if (stream != nullptr) std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

}  // namespace frennick::testing
