#include "page_polarity.hpp"

#include <array>
#include <bit>
#include <cstdint>

#include "polarity_kernels.hpp"

#if defined(FRENNICK_HAS_AVX2_KERNEL) && defined(_MSC_VER) && \
    !defined(__clang__)
#include <intrin.h>
#endif

namespace frennick {
namespace detail {

int matchBytewise(const CartPage& previous, CartPage& current,
                  RunTally& tally) noexcept {
  tally.pixelsExamined += kPixelsPerPage;
  int inverted = 0;
  for (const std::size_t p : kPixelByteOffsets) {
    const int keep =
        std::popcount(static_cast<std::uint8_t>(previous[p] ^ current[p]));
    // Only a strict majority of differing bits flips; a tie stays.
    if (keep > 4) {
      current[p] = static_cast<std::uint8_t>(~current[p]);
      std::uint8_t& colour = current[colourByteOffset(p)];
      colour = std::rotl(colour, 4);
      ++inverted;
      tally.pixelsFixed += keep - (8 - keep);
    }
  }
  tally.patches += inverted;
  return inverted;
}

namespace {

#ifdef FRENNICK_HAS_AVX2_KERNEL
bool processorRunsAvx2() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
  int info[4];
  __cpuid(info, 0);
  if (info[0] < 7) return false;
  __cpuid(info, 1);
  const bool osSavesYmm = (info[2] & (1 << 27)) != 0 &&  // OSXSAVE
                          (_xgetbv(0) & 0x6) == 0x6;
  __cpuidex(info, 7, 0);
  return osSavesYmm && (info[1] & (1 << 5)) != 0;
#else
  // Also checks that the operating system saves the AVX registers.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#endif
}
#endif

struct KernelList {
  std::array<NamedKernel, 3> kernels{};
  std::size_t count = 0;
  void add(const char* name, MatchKernel match) {
    kernels[count++] = {name, match};
  }
};

KernelList findKernels() noexcept {
  KernelList list;
#ifdef FRENNICK_HAS_AVX2_KERNEL
  if (processorRunsAvx2()) list.add("avx2", matchAvx2);
#endif
#ifdef FRENNICK_X86_64
  list.add("sse2", matchSse2);
#endif
  list.add("bytewise", matchBytewise);
  return list;
}

}  // namespace

std::span<const NamedKernel> availableKernels() noexcept {
  static const KernelList list = findKernels();
  return {list.kernels.data(), list.count};
}

}  // namespace detail

int matchPagePolarity(const CartPage& previous, CartPage& current,
                      RunTally& tally) noexcept {
  static const detail::MatchKernel best =
      detail::availableKernels().front().match;
  return best(previous, current, tally);
}

}  // namespace frennick
