// An in-memory cart behind a real FILE* (glibc's fopencookie) whose reads,
// writes, seeks and close fail on demand, the way a bad disk would.
#pragma once

#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

namespace frennick::testing {

struct FaultyCart {
  std::vector<std::uint8_t> bytes;
  std::int64_t position = 0;
  // Any read or write that reaches this offset fails there: the bytes before
  // it are transferred, then the call fails with `error` (-1: never).
  std::int64_t badReadOffset = -1;
  std::int64_t badWriteOffset = -1;
  // After the first failed write, every write fails with `deathError`, as
  // on a card that has just died.
  bool writesDieAfterFault = false;
  int deathError = 5;  // EIO
  // The `failSeekOnVisit`-th seek to this offset fails (-1: never).
  std::int64_t badSeekOffset = -1;
  int failSeekOnVisit = 0;
  bool failClose = false;
  int error = 5;  // EIO
  // Leave errno set to this after calls that succeed (0: leave it alone).
  int staleErrno = 0;

  int seekVisits = 0;
  bool dead = false;
  // Every byte range handed to a write call: {offset, size}.
  std::vector<std::pair<std::int64_t, std::size_t>> writes;
  bool closed = false;
};

// Unbuffered, as Frennick opens a real cart.
std::FILE* openFaultyCart(FaultyCart& cart);

}  // namespace frennick::testing
