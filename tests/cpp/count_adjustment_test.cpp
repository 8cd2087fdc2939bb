#include "reduce/count_adjustment.h"

#include <gtest/gtest.h>

#include <limits>
#include <new>
#include <set>
#include <vector>

#include "random/thread_rng.h"
#include "reduce/point_with_normal.h"

namespace vertisift::reduce {
namespace {

// Items told apart by position.x: `first`, first + 1, ...
PointList items(int count, int first = 0) {
  PointList list;
  for (int i = 0; i < count; ++i) {
    list.push_back({{static_cast<float>(first + i), 0, 0}, {0, 0, 1}});
  }
  return list;
}

std::vector<int> labels(const PointList& list) {
  std::vector<int> out;
  for (const PointWithNormal& item : list) out.push_back(static_cast<int>(item.position.x));
  return out;
}

// The reduction's adjustment: the thread's generator, drawing whole points from `all`.
PointList adjust(PointList representatives, const PointList& all, std::uint64_t clusters) {
  return adjust_count(std::move(representatives), clusters, all.size(), random::thread_rng(),
                      [&](std::uint64_t index) { return all[index]; });
}

// A cut after a uniform shuffle: every ordered choice of three out of four turns up (a
// shuffle that must move every item, or one that moves none, leaves most of them out).
TEST(AdjustCount, CutKeepsAUniformlyShuffledChoice) {
  const PointList all = items(10, 100);
  std::set<std::vector<int>> seen;
  for (int round = 0; round < 2000; ++round) {
    const PointList kept = adjust(items(4), all, 3);
    seen.insert(labels(kept));
  }
  EXPECT_EQ(seen.size(), 24u);
  for (const std::vector<int>& choice : seen) {
    EXPECT_EQ(std::set<int>(choice.begin(), choice.end()).size(), 3u);
    for (int label : choice) EXPECT_LT(label, 4);
  }
  EXPECT_TRUE(adjust(items(4), all, 0).empty());
}

// Too few: the representatives stay first, in order, and the rest are drawn with replacement
// from all points.
TEST(AdjustCount, TopUpDrawsFromAllPoints) {
  const PointList all = items(5, 100);
  EXPECT_EQ(labels(adjust(items(3), all, 3)), (std::vector<int>{0, 1, 2}));
  const PointList filled = adjust(items(2), all, 502);
  ASSERT_EQ(filled.size(), 502u);
  const std::vector<int> got = labels(filled);
  EXPECT_EQ(got[0], 0);
  EXPECT_EQ(got[1], 1);
  const std::set<int> drawn(got.begin() + 2, got.end());
  EXPECT_EQ(drawn, (std::set<int>{100, 101, 102, 103, 104}));
}

TEST(AdjustCount, NothingToDrawFromAndImpossibleCounts) {
  EXPECT_TRUE(adjust({}, {}, 7).empty());
  EXPECT_THROW(adjust(items(1), items(1), std::numeric_limits<std::uint64_t>::max()),
               std::bad_alloc);
}

}  // namespace
}  // namespace vertisift::reduce
