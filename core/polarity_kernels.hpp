// The ways this build can match a page; matchPagePolarity picks the fastest
// one the processor runs. Tests run every one of them.
#pragma once

#include <span>

#include "cart_layout.hpp"
#include "page_polarity.hpp"
#include "run_tally.hpp"

namespace frennick::detail {

// Every kernel records which bytes it inverted.
using MatchKernel = int (*)(const CartPage& previous, CartPage& current,
                            RunTally& tally, PageFlips& flips) noexcept;

struct NamedKernel {
  const char* name;
  MatchKernel matchRecording;
  int match(const CartPage& previous, CartPage& current,
            RunTally& tally) const noexcept {
    PageFlips unused;
    return matchRecording(previous, current, tally, unused);
  }
};

// One byte at a time; runs anywhere.
int matchBytewise(const CartPage& previous, CartPage& current, RunTally& tally,
                  PageFlips& flips) noexcept;

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || \
    defined(_M_IX86)
#define FRENNICK_X86 1
int matchSse2(const CartPage& previous, CartPage& current, RunTally& tally,
              PageFlips& flips) noexcept;
int matchAvx2(const CartPage& previous, CartPage& current, RunTally& tally,
              PageFlips& flips) noexcept;
int matchAvx512(const CartPage& previous, CartPage& current, RunTally& tally,
                PageFlips& flips) noexcept;

// What the processor and the operating system offer, from what cpuid and
// xgetbv say: a pure function of their answers, so that every processor
// and system can be played to it.
struct CpuidRegisters {
  unsigned eax, ebx, ecx, edx;
};
struct X86Probe {
  CpuidRegisters (*cpuid)(unsigned leaf, unsigned subleaf) noexcept;
  unsigned long long (*xgetbv)() noexcept;  // XCR0: the state the system saves
};
struct X86Support {
  bool sse2, avx2, avx512;
};
X86Support x86Support(const X86Probe& probe) noexcept;
#endif

#if defined(__aarch64__) || defined(_M_ARM64) || defined(__arm__)
#define FRENNICK_ARM 1
int matchNeon(const CartPage& previous, CartPage& current, RunTally& tally,
              PageFlips& flips) noexcept;
#endif

#if defined(__wasm_simd128__)
#define FRENNICK_WASM_SIMD 1
int matchWasmSimd(const CartPage& previous, CartPage& current, RunTally& tally,
                  PageFlips& flips) noexcept;
#endif

// The kernels this processor can run, the fastest first.
std::span<const NamedKernel> availableKernels() noexcept;

// The kernel matchPagePolarity uses: the first of them.
const NamedKernel& chosenKernel() noexcept;

}  // namespace frennick::detail
