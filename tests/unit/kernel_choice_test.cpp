// matchPagePolarity uses the fastest kernel the processor runs, and no
// kernel the processor cannot run is ever offered. Checked against the
// processor's features as the operating system reports them, not as the
// dispatch finds them out.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "polarity_kernels.hpp"

#ifdef _WIN32
#include <windows.h>
#endif

namespace frennick {
namespace {

using Features = std::set<std::string>;

Features words(const std::string& text) {
  Features found;
  std::istringstream in(text);
  for (std::string word; in >> word;) found.insert(word);
  return found;
}

#if defined(__linux__) && defined(FRENNICK_X86)
// x86: the flags the kernel lists in /proc/cpuinfo, which it clears where
// it does not save the registers an extension needs.
Features cpuinfoFlags() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("flags", 0) == 0)
      return words(line.substr(line.find(':') + 1));
  }
  return {};
}
#endif

#if defined(__linux__) && defined(FRENNICK_ARM)
// ARM: AT_HWCAP from the auxiliary vector the kernel gave the process, read
// from /proc/self/auxv as pairs of words.
bool auxvHwcapBit(unsigned bit, bool& known) {
  std::ifstream auxv("/proc/self/auxv", std::ios::binary);
  std::uintptr_t entry[2];
  while (auxv.read(reinterpret_cast<char*>(entry), sizeof entry)) {
    if (entry[0] == 16) {  // AT_HWCAP
      known = true;
      return (entry[1] >> bit) & 1;
    }
  }
  return false;
}
#endif

// The features among sse2, avx2, avx512 (F, BW and BITALG) and neon that
// the processor has, and whether they could be told at all. Under an
// emulator told to act as a given processor, the tests are handed that
// processor's features instead.
Features reportedFeatures(bool& known) {
  known = true;
  if (const char* given = std::getenv("FRENNICK_CPU_FEATURES")) {
    return words(given);
  }
  Features features;
#if defined(_WIN32)
  if (IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE))
    features.insert("sse2");
  if (IsProcessorFeaturePresent(40))  // PF_AVX2_INSTRUCTIONS_AVAILABLE
    features.insert("avx2");
#elif defined(__linux__) && defined(FRENNICK_X86)
  // qemu-user shows the host's /proc/cpuinfo, not the processor it plays.
  if (std::getenv("FRENNICK_EMULATED") != nullptr) {
    known = false;
    return features;
  }
  const Features flags = cpuinfoFlags();
  known = !flags.empty();
  for (const char* feature : {"sse2", "avx2"})
    if (flags.count(feature) != 0) features.insert(feature);
  if (flags.count("avx512f") && flags.count("avx512bw") &&
      flags.count("avx512_bitalg"))
    features.insert("avx512");
#elif defined(__linux__) && defined(FRENNICK_ARM)
  known = false;
#ifdef __aarch64__
  const unsigned neonBit = 1;  // HWCAP_ASIMD
#else
  const unsigned neonBit = 12;  // HWCAP_NEON
#endif
  if (auxvHwcapBit(neonBit, known)) features.insert("neon");
#else
  known = false;
#endif
  return features;
}

std::vector<std::string> expectedKernels(const Features& has) {
  std::vector<std::string> kernels;
#ifdef FRENNICK_X86
  if (has.count("avx512")) kernels.push_back("avx512");
  if (has.count("avx2")) kernels.push_back("avx2");
  if (has.count("sse2")) kernels.push_back("sse2");
#endif
#ifdef FRENNICK_ARM
  if (has.count("neon")) kernels.push_back("neon");
#endif
  kernels.push_back("bytewise");
  return kernels;
}

TEST(KernelChoice, OffersWhatTheProcessorRunsAndUsesTheFastest) {
  bool known = false;
  const Features features = reportedFeatures(known);
  if (!known) GTEST_SKIP() << "no report of this processor's features here";
  std::string reported;
  for (const auto& f : features) reported += f + " ";
  std::vector<std::string> offered;
  for (const auto& kernel : detail::availableKernels())
    offered.emplace_back(kernel.name);
  EXPECT_EQ(std::string(detail::chosenKernel().name), offered.front());
#ifdef _WIN32
  // Windows reports AVX-512 F but not BW or BITALG, which the kernel needs:
  // that one choice cannot be checked there.
  if (!offered.empty() && offered.front() == "avx512")
    offered.erase(offered.begin());
#endif
  EXPECT_EQ(offered, expectedKernels(features))
      << "the processor reports: " << reported;
}

#ifdef FRENNICK_X86
// Processors and systems played to the choice through their cpuid and
// xgetbv answers. A leaf the processor lacks, or a sub-leaf of leaf 7 other
// than 0, answers all ones, as garbage would; xgetbv where the system has
// not enabled it (no OSXSAVE) would fault, so it must not be asked.
struct PlayedProcessor {
  const char* name;
  unsigned highestLeaf;
  unsigned leaf1Ecx, leaf1Edx;
  unsigned leaf7Ebx, leaf7Ecx;
  unsigned long long xcr0;
  detail::X86Support expected;
};

constexpr unsigned kSse2 = 1U << 26;                       // leaf 1 edx
constexpr unsigned kAvxOsxsave = (1U << 28) | (1U << 27);  // leaf 1 ecx
constexpr unsigned kAvx2 = 1U << 5;                        // leaf 7 ebx
constexpr unsigned kAvx512FBw = (1U << 16) | (1U << 30);   // leaf 7 ebx
constexpr unsigned kBitalg = 1U << 12;                     // leaf 7 ecx

const PlayedProcessor* played = nullptr;
bool xgetbvAsked = false;

detail::CpuidRegisters playedCpuid(unsigned leaf, unsigned subleaf) noexcept {
  constexpr detail::CpuidRegisters garbage{~0U, ~0U, ~0U, ~0U};
  if (leaf > played->highestLeaf) return garbage;
  if (leaf == 0) return {played->highestLeaf, 0, 0, 0};
  if (leaf == 1) return {0, 0, played->leaf1Ecx, played->leaf1Edx};
  if (leaf == 7) {
    if (subleaf != 0) return garbage;
    return {0, played->leaf7Ebx, played->leaf7Ecx, 0};
  }
  return {};
}

unsigned long long playedXgetbv() noexcept {
  xgetbvAsked = true;
  return played->xcr0;
}

TEST(X86Support, EveryProcessorAndSystemGetsOnlyWhatBothRun) {
  const PlayedProcessor processors[] = {
      {"Pentium III", 2, 0, 0, 0, 0, 0, {false, false, false}},
      {"Nehalem", 11, 0, kSse2, 0, 0, 0, {true, false, false}},
      {"Sandy Bridge", 13, kAvxOsxsave, kSse2, 0, 0, 0x7, {true, false, false}},
      {"Haswell", 13, kAvxOsxsave, kSse2, kAvx2, 0, 0x7, {true, true, false}},
      {"Haswell, system without AVX state",
       13,
       kAvxOsxsave,
       kSse2,
       kAvx2,
       0,
       0x3,
       {true, false, false}},
      {"Haswell, system without XSAVE",
       13,
       1U << 28,
       kSse2,
       kAvx2,
       0,
       0x7,
       {true, false, false}},
      {"Skylake-X (no BITALG)",
       13,
       kAvxOsxsave,
       kSse2,
       kAvx2 | kAvx512FBw,
       0,
       0xE7,
       {true, true, false}},
      {"Ice Lake server",
       13,
       kAvxOsxsave,
       kSse2,
       kAvx2 | kAvx512FBw,
       kBitalg,
       0xE7,
       {true, true, true}},
      {"Ice Lake server, system without AVX-512 state",
       13,
       kAvxOsxsave,
       kSse2,
       kAvx2 | kAvx512FBw,
       kBitalg,
       0x7,
       {true, true, false}},
      {"AVX processor with no leaf 7",
       6,
       kAvxOsxsave,
       kSse2,
       0,
       0,
       0x7,
       {true, false, false}},
  };
  for (const PlayedProcessor& processor : processors) {
    played = &processor;
    xgetbvAsked = false;
    const detail::X86Support got =
        detail::x86Support({playedCpuid, playedXgetbv});
    EXPECT_EQ(got.sse2, processor.expected.sse2) << processor.name;
    EXPECT_EQ(got.avx2, processor.expected.avx2) << processor.name;
    EXPECT_EQ(got.avx512, processor.expected.avx512) << processor.name;
    if ((processor.leaf1Ecx & (1U << 27)) == 0) {
      EXPECT_FALSE(xgetbvAsked) << processor.name << ": xgetbv without OSXSAVE";
    }
  }
}
#endif

}  // namespace
}  // namespace frennick
