// On Windows the cart is opened with a share mode that refuses other
// writers: a second Frennick, or any program holding the cart open for
// writing, is refused rather than let two writers tear its pages.
#include <gtest/gtest.h>
#include <share.h>

#include <cstdio>

#include "cart_file.hpp"

namespace frennick {
namespace {

TEST(CartLock, RefusedWhileAnotherProgramHoldsTheCartForWriting) {
  const char* path = "frennick-lock-test.bin";
  std::FILE* made = std::fopen(path, "wb");
  ASSERT_NE(made, nullptr);
  std::fclose(made);

  // Another program has it open for writing, sharing it with anyone.
  std::FILE* other = _fsopen(path, "rb+", _SH_DENYNO);
  ASSERT_NE(other, nullptr);
  OpenedCart refused = openCartForUpdate(path);
  EXPECT_TRUE(refused.inUse);
  EXPECT_EQ(refused.stream, nullptr);
  std::fclose(other);

  // Frennick has it: a second Frennick, and any other writer, are refused.
  const OpenedCart first = openCartForUpdate(path);
  ASSERT_NE(first.stream, nullptr);
  EXPECT_FALSE(first.inUse);
  refused = openCartForUpdate(path);
  EXPECT_TRUE(refused.inUse);
  EXPECT_EQ(_fsopen(path, "rb+", _SH_DENYNO), nullptr);
  std::fclose(first.stream);

  // Closed, the cart is free again; a missing one is not "in use".
  const OpenedCart again = openCartForUpdate(path);
  ASSERT_NE(again.stream, nullptr);
  std::fclose(again.stream);
  std::remove(path);
  const OpenedCart missing = openCartForUpdate(path);
  EXPECT_EQ(missing.stream, nullptr);
  EXPECT_FALSE(missing.inUse);
}

}  // namespace
}  // namespace frennick
