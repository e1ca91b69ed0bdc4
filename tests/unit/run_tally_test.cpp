#include "run_tally.hpp"

#include <gtest/gtest.h>

namespace frennick {
namespace {

RunTally fixedOutOf(std::int64_t fixed, std::int64_t examined) {
  RunTally tally;
  tally.pixelsFixed = fixed;
  tally.pixelsExamined = examined;
  return tally;
}

TEST(FixedPercentage, RoundsHalfUp) {
  EXPECT_EQ(fixedPercentage(fixedOutOf(27648, 122880)), 23);  // 22.5
  EXPECT_EQ(fixedPercentage(fixedOutOf(27646, 122880)), 22);  // 22.498
  EXPECT_EQ(fixedPercentage(fixedOutOf(27734, 122880)), 23);  // 22.57
  EXPECT_EQ(fixedPercentage(fixedOutOf(24576, 24576)), 100);
  EXPECT_EQ(fixedPercentage(fixedOutOf(0, 24576)), 0);
}

TEST(FixedPercentage, IsZeroWhenNoPageWasMatched) {
  EXPECT_EQ(fixedPercentage(fixedOutOf(0, 0)), 0);
}

TEST(FixedPercentage, HoldsForCountsPastThirtyTwoBits) {
  const std::int64_t examined = std::int64_t{24576} * 600000;
  EXPECT_EQ(fixedPercentage(fixedOutOf(examined / 4, examined)), 25);
  EXPECT_EQ(fixedPercentage(fixedOutOf(examined, examined)), 100);
}

}  // namespace
}  // namespace frennick
