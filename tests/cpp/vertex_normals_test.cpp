#include "reduce/vertex_normals.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

namespace vertisift::reduce {
namespace {

bool same_bits(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

TEST(NormalizeOrZero, Cases) {
  base::Point3 unit = normalize_or_zero({0, 0, 2});
  EXPECT_EQ(unit.z, 1.0f);
  base::Point3 zero = normalize_or_zero({0, -0.0f, 0});
  EXPECT_TRUE(same_bits(zero.x, 0.0f) && same_bits(zero.y, 0.0f) && same_bits(zero.z, 0.0f));
  base::Point3 diagonal = normalize_or_zero({1, 1, 0});
  EXPECT_EQ(diagonal.x, 0.70710677f);
  base::Point3 tilted = normalize_or_zero({1, 0, 3});
  EXPECT_EQ(tilted.x, 0.31622776f);
  EXPECT_EQ(tilted.z, 0.94868326f);
  EXPECT_TRUE(same_bits(tilted.y, 0.0f));
  base::Point3 with_nan = normalize_or_zero({std::nanf(""), 1, 0});
  EXPECT_TRUE(std::isnan(with_nan.x) && std::isnan(with_nan.y));
  const float inf = std::numeric_limits<float>::infinity();
  base::Point3 with_inf = normalize_or_zero({inf, -1, 0});
  EXPECT_TRUE(std::isnan(with_inf.x));
  EXPECT_TRUE(same_bits(with_inf.y, -0.0f));
  // Tiny components whose squares underflow to zero count as a zero length.
  base::Point3 tiny = normalize_or_zero({1e-30f, 0, 0});
  EXPECT_EQ(tiny.x, 0.0f);
}

}  // namespace
}  // namespace vertisift::reduce
