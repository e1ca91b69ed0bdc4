// The counters of one run, as the summary line reports them.
#pragma once

#include <cstdint>

namespace frennick {

// 64-bit so that carts past 2 GiB count and seek correctly.
struct RunTally {
  std::int64_t pageNumber = 1;  // the page last read or tried
  std::int64_t patches = 0;     // pixel bytes inverted
  std::int64_t pixelsFixed = 0;
  std::int64_t pixelsExamined = 0;
};

// Pixels fixed as a share of pixels examined, rounded half up; 0 when no
// page was matched (there is nothing to take a share of).
int fixedPercentage(const RunTally& tally) noexcept;

}  // namespace frennick
