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

}  // namespace
}  // namespace frennick
