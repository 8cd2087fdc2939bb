#include "base/os_random.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace vertisift::base {
namespace {

TEST(FillOsRandom, FillsEveryByteOrReportsTheError) {
  std::uint8_t first[64] = {};
  std::uint8_t second[64] = {};
  ASSERT_EQ(fill_os_random(first, sizeof first), 0);
  ASSERT_EQ(fill_os_random(second, sizeof second), 0);
  EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
  EXPECT_EQ(fill_os_random(nullptr, 16), EFAULT);
}

}  // namespace
}  // namespace vertisift::base
