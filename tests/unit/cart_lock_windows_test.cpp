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
  EXPECT_EQ(CartFile().open(path), CartFile::Opened::InUse);
  std::fclose(other);

  // Frennick has it: a second Frennick, and any other writer, are refused.
  {
    CartFile first;
    ASSERT_EQ(first.open(path), CartFile::Opened::Yes);
    EXPECT_EQ(CartFile().open(path), CartFile::Opened::InUse);
    EXPECT_EQ(_fsopen(path, "rb+", _SH_DENYNO), nullptr);
  }

  // Closed, the cart is free again; a missing one is not "in use".
  EXPECT_EQ(CartFile().open(path), CartFile::Opened::Yes);
  std::remove(path);
  EXPECT_EQ(CartFile().open(path), CartFile::Opened::Failed);
}

}  // namespace
}  // namespace frennick
