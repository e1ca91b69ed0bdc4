#include "run_tally.hpp"

namespace frennick {

int fixedPercentage(const RunTally& tally) noexcept {
  if (tally.pixelsExamined <= 0) {
    return 0;
  }
  const double share = static_cast<double>(tally.pixelsFixed) * 100.0 /
                       static_cast<double>(tally.pixelsExamined);
  return static_cast<int>(share + 0.5);
}

}  // namespace frennick
