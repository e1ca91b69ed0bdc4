// The ways this build can match a page; matchPagePolarity picks the fastest
// one the processor runs. Tests run every one of them.
#pragma once

#include <span>

#include "cart_layout.hpp"
#include "run_tally.hpp"

namespace frennick::detail {

using MatchKernel = int (*)(const CartPage& previous, CartPage& current,
                            RunTally& tally) noexcept;

struct NamedKernel {
  const char* name;
  MatchKernel match;
};

// One byte at a time; runs anywhere.
int matchBytewise(const CartPage& previous, CartPage& current,
                  RunTally& tally) noexcept;

#if defined(__x86_64__) || defined(_M_X64)
#define FRENNICK_X86_64 1
// SSE2 is part of every x86-64 processor.
int matchSse2(const CartPage& previous, CartPage& current,
              RunTally& tally) noexcept;
#define FRENNICK_HAS_AVX2_KERNEL 1
int matchAvx2(const CartPage& previous, CartPage& current,
              RunTally& tally) noexcept;
#endif

// The kernels this processor can run, the preferred one first.
std::span<const NamedKernel> availableKernels() noexcept;

}  // namespace frennick::detail
