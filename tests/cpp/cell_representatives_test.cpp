#include "reduce/cell_representatives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <set>
#include <vector>

#include "random/thread_rng.h"

namespace vertisift::reduce {
namespace {

// The reduction's pick, with the thread's generator, in `order`.
PointList pick_points(const CellMap& cells, const PointList& points, CellOrder order) {
  return pick_representatives<PointList>(cells, order, random::thread_rng(),
                                         [&](std::uint64_t index) { return points[index]; });
}

// 1050 points on 105 distinct positions, ten on each, so every cell holds several points.
PointList clustered_points() {
  PointList points;
  for (int i = 0; i < 1050; ++i) {
    points.push_back({{static_cast<float>(i % 7), static_cast<float>(i % 5) / 5.0f,
                       static_cast<float>(i % 3) * 3.0f},
                      {0, 0, static_cast<float>(i)}});
  }
  return points;
}

// The points of each cell, by key, as cell_key gives them.
std::map<CellKey, std::set<std::uint32_t>> expected_cells(const PointList& points,
                                                          const BoundingBox& box,
                                                          std::uint64_t resolution) {
  std::map<CellKey, std::set<std::uint32_t>> cells;
  for (std::uint32_t i = 0; i < points.size(); ++i) {
    cells[cell_key(points[i].position, box, resolution)].insert(i);
  }
  return cells;
}

// Resolution 3 groups with a counter per cell; 40 (64000 cells for 1050 points) and 1000
// (too many cells to count) group by sorting.
class AssignToCells : public ::testing::TestWithParam<std::uint64_t> {
 protected:
  void SetUp() override { assign_to_cells(points, box, GetParam(), cells); }

  const PointList points = clustered_points();
  const BoundingBox box = compute_bounding_box(points);
  const std::map<CellKey, std::set<std::uint32_t>> expected =
      expected_cells(points, box, GetParam());
  CellMap cells;
};

TEST_P(AssignToCells, EveryCellHoldsExactlyItsPoints) {
  ASSERT_EQ(cells.items.size(), points.size());
  std::map<CellKey, std::set<std::uint32_t>> found;
  cells.cells.for_each([&](CellKey key, const CellSpan& span) {
    ASSERT_LE(span.begin + span.count, cells.items.size());
    for (std::uint64_t i = span.begin; i < span.begin + span.count; ++i) {
      found[key].insert(cells.items[i]);
    }
    EXPECT_EQ(found[key].size(), span.count) << key;
    // By ascending index, whether counted or sorted: a seeded pick takes the same point.
    const auto first = cells.items.begin() + static_cast<std::ptrdiff_t>(span.begin);
    EXPECT_TRUE(std::is_sorted(first, first + static_cast<std::ptrdiff_t>(span.count))) << key;
  });
  EXPECT_EQ(found, expected);
}

// One representative per cell, drawn from that cell's points, each of them in turn; in key
// order, the cells come by ascending key.
TEST_P(AssignToCells, RepresentativesAreUniformPicksFromEachCell) {
  std::map<CellKey, std::set<std::uint32_t>> picked;
  for (int round = 0; round < 300; ++round) {
    const CellOrder order = round % 2 == 0 ? CellOrder::Map : CellOrder::Key;
    const PointList representatives = pick_points(cells, points, order);
    ASSERT_EQ(representatives.size(), expected.size());
    std::vector<CellKey> keys;
    for (const PointWithNormal& item : representatives) {
      const auto index = static_cast<std::uint32_t>(item.normal.z);
      EXPECT_EQ(points[index].position.x, item.position.x);
      keys.push_back(cell_key(item.position, box, GetParam()));
      picked[keys.back()].insert(index);
    }
    if (order == CellOrder::Key) {
      EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    }
  }
  EXPECT_EQ(picked.size(), expected.size());
  for (const auto& [key, members] : expected) {
    // 300 draws from ten points miss one of them with a chance of 2e-13.
    if (members.size() <= 10) {
      EXPECT_EQ(picked[key], members) << key;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(DenseAndSorted, AssignToCells, ::testing::Values(3u, 40u, 1000u));

TEST(PickRepresentatives, NoPointsNoCells) {
  CellMap cells;
  assign_to_cells({}, compute_bounding_box({}), 1, cells);
  EXPECT_TRUE(pick_points(cells, {}, CellOrder::Map).empty());
  EXPECT_TRUE(pick_points(cells, {}, CellOrder::Key).empty());
}

}  // namespace
}  // namespace vertisift::reduce
