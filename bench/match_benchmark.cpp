// Pages per second of polarity matching, for each kernel this processor runs.
#include <benchmark/benchmark.h>

#include <random>

#include "page_polarity.hpp"
#include "polarity_kernels.hpp"

namespace {

using frennick::CartPage;

CartPage randomPage(std::mt19937_64& random) {
  CartPage page;
  for (auto& b : page) b = static_cast<std::uint8_t>(random());
  return page;
}

// Random pages: about a third of the pixel bytes invert. Matching against
// the previous page and against its inverse in turn keeps most of them
// inverting on every call, with no copy in the timed loop.
void manyInversions(benchmark::State& state,
                    frennick::detail::MatchKernel match) {
  frennick::PageFlips flips;
  std::mt19937_64 random(1);
  const CartPage previous = randomPage(random);
  CartPage inverse;
  for (std::size_t i = 0; i < inverse.size(); ++i)
    inverse[i] = static_cast<std::uint8_t>(~previous[i]);
  CartPage current = randomPage(random);
  frennick::RunTally tally;
  bool flipSide = false;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        match(flipSide ? inverse : previous, current, tally, flips));
    flipSide = !flipSide;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["inverted/page"] =
      benchmark::Counter(static_cast<double>(tally.patches) /
                         static_cast<double>(state.iterations()));
}

// An already matched cart: nothing inverts.
void noInversions(benchmark::State& state,
                  frennick::detail::MatchKernel match) {
  frennick::PageFlips flips;
  std::mt19937_64 random(2);
  const CartPage previous = randomPage(random);
  CartPage current = previous;
  frennick::RunTally tally;
  for (auto _ : state) {
    benchmark::DoNotOptimize(match(previous, current, tally, flips));
  }
  state.SetItemsProcessed(state.iterations());
}

const bool registered = [] {
  for (const auto& kernel : frennick::detail::availableKernels()) {
    const std::string name = kernel.name;
    benchmark::RegisterBenchmark(("manyInversions/" + name).c_str(),
                                 manyInversions, kernel.matchRecording);
    benchmark::RegisterBenchmark(("noInversions/" + name).c_str(), noInversions,
                                 kernel.matchRecording);
  }
  benchmark::RegisterBenchmark(
      "manyInversions/matchPagePolarity", manyInversions,
      [](const CartPage& p, CartPage& c, frennick::RunTally& t,
         frennick::PageFlips& f) noexcept {
        return frennick::matchPagePolarity(p, c, t, f);
      });
  return true;
}();

}  // namespace
