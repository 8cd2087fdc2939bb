#include "reduce/grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vertisift::reduce {
namespace {

const float NaN = std::numeric_limits<float>::quiet_NaN();
const float INF = std::numeric_limits<float>::infinity();

TEST(GridResolution, Table) {
  // clang-format off
  const std::pair<std::uint64_t, std::uint64_t> table[] = {
      {0, 0},       {1, 1},         {2, 2},        {8, 2},          {9, 3},
      {27, 3},      {28, 4},        {64, 4},       {100, 5},        {125, 6},
      {512, 9},     {1000, 11},     {4096, 17},    {10000, 22},     {100000, 47},
      {1000000, 101}, {UINT64_MAX, 2642247},
  };
  // clang-format on
  for (auto [clusters, expected] : table)
    EXPECT_EQ(grid_resolution(clusters), expected) << clusters;
}

TEST(GridResolution, PerfectCubesFromFiveUpGainOne) {
  for (std::uint64_t k = 5; k <= 40; ++k) EXPECT_EQ(grid_resolution(k * k * k), k + 1) << k;
  for (std::uint64_t k = 1; k <= 4; ++k) EXPECT_EQ(grid_resolution(k * k * k), k) << k;
}

TEST(ToU64Saturating, Cases) {
  EXPECT_EQ(to_u64_saturating(NaN), 0u);
  EXPECT_EQ(to_u64_saturating(-1.0f), 0u);
  EXPECT_EQ(to_u64_saturating(-0.0f), 0u);
  EXPECT_EQ(to_u64_saturating(-INF), 0u);
  EXPECT_EQ(to_u64_saturating(3.0f), 3u);
  EXPECT_EQ(to_u64_saturating(16777216.0f), 16777216u);
  EXPECT_EQ(to_u64_saturating(18446744073709551616.0f), UINT64_MAX);
  EXPECT_EQ(to_u64_saturating(INF), UINT64_MAX);
  EXPECT_EQ(to_u64_saturating(9223372036854775808.0f), 9223372036854775808ull);
}

BoundingBox unit_box(float high) { return {0, high, 0, high, 0, high}; }

TEST(CellKey, CornersAndCentre) {
  const BoundingBox box = unit_box(1.0f);
  EXPECT_EQ(cell_key({0, 0, 0}, box, 2), 0u);
  EXPECT_EQ(cell_key({1, 1, 1}, box, 2), 7u);
  EXPECT_EQ(cell_key({0.5f, 0.5f, 0.5f}, box, 2), 0u);  // the epsilon pulls it down
  EXPECT_EQ(cell_key({1, 0, 0}, box, 2), 1u);
  EXPECT_EQ(cell_key({0, 1, 0}, box, 2), 2u);
  EXPECT_EQ(cell_key({0, 0, 1}, box, 2), 4u);
}

TEST(CellKey, UpperFaceIsClampedForLargeExtents) {
  const BoundingBox box = unit_box(4.0f);
  EXPECT_EQ(cell_key({2, 0, 0}, box, 2), 1u);
  EXPECT_EQ(cell_key({4, 0, 0}, box, 2), 1u);  // s == 2, clamped to 1
  const BoundingBox wide = {0, 100, 0, 100, 0, 100};
  EXPECT_EQ(cell_key({100, 0, 0}, wide, 11), 10u);
  EXPECT_EQ(cell_key({50, 0, 0}, wide, 11), 5u);
}

TEST(CellKey, ZeroExtentAndZeroResolution) {
  const BoundingBox flat = {1, 1, 2, 2, 3, 3};
  EXPECT_EQ(cell_key({1, 2, 3}, flat, 5), 0u);
  EXPECT_EQ(cell_key({0.3f, 0.7f, 0.2f}, unit_box(1.0f), 0), 0u);
  EXPECT_EQ(cell_key({1, 1, 1}, unit_box(1.0f), 0), 0u);
  EXPECT_EQ(cell_key({1, 1, 1}, unit_box(1.0f), 1), 0u);
}

TEST(CellKey, NonFiniteCoordinates) {
  const BoundingBox box = unit_box(1.0f);
  EXPECT_EQ(cell_key({NaN, 1, 0}, box, 2), 2u);  // NaN axis gives 0, the others count
  const BoundingBox infinite = {0, INF, 0, 1, 0, 1};
  EXPECT_EQ(cell_key({5, 1, 0}, infinite, 2), 2u);
  EXPECT_EQ(cell_key({INF, 0, 0}, infinite, 2), 0u);
}

TEST(CellKey, KeyArithmeticWrapsForHugeResolutions) {
  const std::uint64_t res = 2642247;
  const BoundingBox box = unit_box(1.0f);
  const std::uint64_t key = cell_key({1, 1, 1}, box, res);
  const std::uint64_t last = res - 1;
  EXPECT_EQ(key, (last * res + last) * res + last);
}

TEST(BoundingBox, EmptyAndNaN) {
  const BoundingBox empty = compute_bounding_box({});
  EXPECT_EQ(empty.min_x, INF);
  EXPECT_EQ(empty.max_z, -INF);
  PointList points = {{{NaN, 1, 2}, {}}, {{3, NaN, -2}, {}}, {{-1, 5, NaN}, {}}};
  const BoundingBox box = compute_bounding_box(points);
  EXPECT_EQ(box.min_x, -1);
  EXPECT_EQ(box.max_x, 3);
  EXPECT_EQ(box.min_y, 1);
  EXPECT_EQ(box.max_y, 5);
  EXPECT_EQ(box.min_z, -2);
  EXPECT_EQ(box.max_z, 2);
}

TEST(BoundingBox, ManyPointsOnThePool) {
  PointList points;
  for (int i = 0; i < 100000; ++i) {
    const float v = static_cast<float>((i * 7919) % 100003) - 50000.0f;
    points.push_back({{v, -v, v * 0.5f}, {}});
  }
  const BoundingBox box = compute_bounding_box(points);
  float low = INF, high = -INF;
  for (const auto& p : points) {
    low = std::fmin(low, p.position.x);
    high = std::fmax(high, p.position.x);
  }
  EXPECT_EQ(box.min_x, low);
  EXPECT_EQ(box.max_x, high);
  EXPECT_EQ(box.min_y, -high);
  EXPECT_EQ(box.max_z, high * 0.5f);
}

}  // namespace
}  // namespace vertisift::reduce
