#include "page_polarity.hpp"

#include <array>
#include <bit>
#include <cstdint>

#include "polarity_kernels.hpp"

#if defined(FRENNICK_X86) && defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#elif defined(FRENNICK_X86)
#include <cpuid.h>
#endif
#if defined(FRENNICK_ARM) && defined(__linux__) && !defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace frennick {
namespace detail {

namespace {

// Where a pixel byte's decision lies in a PageFlips: its place in the pixel
// areas of the four bands laid end to end.
std::size_t flipIndex(std::size_t pixelOffset) {
  const std::size_t band = (pixelOffset - kFirstBandOffset) / kBandStride;
  return kAreaSize * band + (pixelOffset - bandOffset(static_cast<int>(band)));
}

void invert(CartPage& page, std::size_t pixelOffset) {
  page[pixelOffset] = static_cast<std::uint8_t>(~page[pixelOffset]);
  std::uint8_t& colour = page[colourByteOffset(pixelOffset)];
  colour = std::rotl(colour, 4);
}

}  // namespace

int matchBytewise(const CartPage& previous, CartPage& current, RunTally& tally,
                  PageFlips& flips) noexcept {
  tally.pixelsExamined += kPixelsPerPage;
  flips.bytes.fill(0);
  int inverted = 0;
  for (const std::size_t p : kPixelByteOffsets) {
    const int keep =
        std::popcount(static_cast<std::uint8_t>(previous[p] ^ current[p]));
    // Only a strict majority of differing bits flips; a tie stays.
    if (keep > 4) {
      invert(current, p);
      flips.bytes[flipIndex(p)] = 0xFF;
      ++inverted;
      tally.pixelsFixed += keep - (8 - keep);
    }
  }
  tally.patches += inverted;
  return inverted;
}

namespace {

#ifdef FRENNICK_X86
// The processor's answer to cpuid `leaf` and `subleaf`. Read directly
// rather than through the compiler's runtime, which not every toolchain
// links.
CpuidRegisters readCpuid(unsigned leaf, unsigned subleaf) noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
  int info[4];
  __cpuidex(info, static_cast<int>(leaf), static_cast<int>(subleaf));
  return {static_cast<unsigned>(info[0]), static_cast<unsigned>(info[1]),
          static_cast<unsigned>(info[2]), static_cast<unsigned>(info[3])};
#else
  CpuidRegisters r{};
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
#endif
}

// Which register state the operating system saves on a switch (XCR0).
unsigned long long savedRegisterState() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
  return _xgetbv(0);
#else
  unsigned eax = 0;
  unsigned edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<unsigned long long>(edx) << 32) | eax;
#endif
}
#endif

#ifdef FRENNICK_ARM
bool processorRunsNeon() noexcept {
#if defined(__aarch64__) || defined(_M_ARM64)
  return true;  // part of every AArch64 processor
#elif defined(__linux__)
  return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0;  // ARMv6 boards lack it
#elif defined(__ARM_NEON) || defined(__ARM_NEON__)
  return true;  // this whole build assumes it
#else
  return false;
#endif
}
#endif

struct KernelList {
  std::array<NamedKernel, 5> kernels{};
  std::size_t count = 0;
  void add(const char* name, MatchKernel match) {
    kernels[count++] = {name, match};
  }
};

KernelList findKernels() noexcept {
  KernelList list;
#ifdef FRENNICK_X86
  const X86Support runs = x86Support({readCpuid, savedRegisterState});
  if (runs.avx512) list.add("avx512", matchAvx512);
  if (runs.avx2) list.add("avx2", matchAvx2);
  if (runs.sse2) list.add("sse2", matchSse2);
#endif
#ifdef FRENNICK_ARM
  if (processorRunsNeon()) list.add("neon", matchNeon);
#endif
#ifdef FRENNICK_WASM_SIMD
  list.add("simd128", matchWasmSimd);  // the module would not load without
#endif
  list.add("bytewise", matchBytewise);
  return list;
}

}  // namespace

#ifdef FRENNICK_X86
// AVX2 and AVX-512 also need the operating system to save the registers
// they use; XCR0 is read only where the system says it may be (OSXSAVE),
// and leaf 7 only where the processor has it.
X86Support x86Support(const X86Probe& probe) noexcept {
  X86Support support{};
  const unsigned highestLeaf = probe.cpuid(0, 0).eax;
  if (highestLeaf < 1) return support;
  const CpuidRegisters basic = probe.cpuid(1, 0);
  support.sse2 = (basic.edx & (1U << 26)) != 0;
  const bool avx = (basic.ecx & (1U << 28)) != 0;
  const bool osxsave = (basic.ecx & (1U << 27)) != 0;
  if (!avx || !osxsave || highestLeaf < 7) return support;
  const unsigned long long saved = probe.xgetbv();
  if ((saved & 0x6) != 0x6) return support;  // SSE and AVX state
  const CpuidRegisters extended = probe.cpuid(7, 0);
  support.avx2 = (extended.ebx & (1U << 5)) != 0;
  // AVX-512 F and BW, and BITALG for byte bit counts; the system must also
  // save the mask and the upper vector registers.
  support.avx512 = (extended.ebx & (1U << 16)) != 0 &&
                   (extended.ebx & (1U << 30)) != 0 &&
                   (extended.ecx & (1U << 12)) != 0 && (saved & 0xE6) == 0xE6;
  return support;
}
#endif

std::span<const NamedKernel> availableKernels() noexcept {
  static const KernelList list = findKernels();
  return {list.kernels.data(), list.count};
}

const NamedKernel& chosenKernel() noexcept {
  return availableKernels().front();
}

}  // namespace detail

int matchPagePolarity(const CartPage& previous, CartPage& current,
                      RunTally& tally, PageFlips& flips) noexcept {
  static const detail::MatchKernel best = detail::chosenKernel().matchRecording;
  return best(previous, current, tally, flips);
}

int matchPagePolarity(const CartPage& previous, CartPage& current,
                      RunTally& tally) noexcept {
  PageFlips unused;
  return matchPagePolarity(previous, current, tally, unused);
}

void undoPagePolarity(CartPage& page, const PageFlips& flips) noexcept {
  for (const std::size_t p : kPixelByteOffsets) {
    if (flips.bytes[detail::flipIndex(p)] != 0) detail::invert(page, p);
  }
}

}  // namespace frennick
