// Stored bytes that claim more than they hold are refused before anything is sized by them.
#include <gtest/gtest.h>

#include <string>

#include "util/bitmap.h"

namespace tarnix {
namespace {

std::string blob(std::initializer_list<uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A bitmap header whose container count is 2^31 got past the library's size probe, and its
// decoder then tried to allocate arrays for that many containers (which it reports on
// standard error when the allocation fails; on a 32-bit machine the size wraps instead).
TEST(DecoderLimits, ABitmapClaimingMoreContainersThanCanExistIsRefusedUpFront) {
  for (uint8_t top : {0x80, 0xFF, 0x01}) {
    std::string b = blob({0x3a, 0x30, 0, 0, 0, 0, 0, top});
    ::testing::internal::CaptureStderr();
    Result<Bitmap> decoded = Bitmap::portable_deserialize(b.data(), b.size());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(decoded.ok()) << int(top);
  }
  std::string empty = blob({0x3a, 0x30, 0, 0, 0, 0, 0, 0});
  Result<Bitmap> decoded = Bitmap::portable_deserialize(empty.data(), empty.size());
  ASSERT_TRUE(decoded.ok());
  EXPECT_TRUE(decoded->empty());
}

}  // namespace
}  // namespace tarnix
