#include "base/pod_vector.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <vector>

namespace vertisift::base {
namespace {

// Items 0, 1, ... pushed one by one, from the first small block past the size where blocks
// are mapped pages and grow by moving the mapping, or (`kept`) into a larger block an earlier
// array gave back, taken whole: every item keeps its value.
class PushBack : public testing::TestWithParam<bool> {};

TEST_P(PushBack, KeepsEveryItemThroughEveryGrowth) {
  constexpr std::size_t KEPT_ITEMS = 8 * LARGE_BLOCK / sizeof(std::uint32_t) + 3;
  if (GetParam()) {
    PodVector<std::uint32_t> earlier;
    earlier.resize_zeroed(KEPT_ITEMS);
  }
  PodVector<std::uint64_t> items;
  EXPECT_TRUE(items.empty());
  const std::size_t count = 3 * LARGE_BLOCK / sizeof(std::uint64_t) + 5;
  for (std::size_t i = 0; i < count; ++i) items.push_back(i);
  ASSERT_EQ(items.size(), count);
  for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(items[i], i);
  if (GetParam()) {
    // The kept block's whole pages, as items of eight bytes.
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t kept_bytes = (KEPT_ITEMS * sizeof(std::uint32_t) + page - 1) / page * page;
    EXPECT_EQ(items.capacity(), kept_bytes / sizeof(std::uint64_t));
  }
  items.shrink_to_fit();
  ASSERT_EQ(items.size(), count);
  EXPECT_EQ(items[count - 1], count - 1);
  EXPECT_EQ(items.end() - items.begin(), static_cast<std::ptrdiff_t>(count));
}

INSTANTIATE_TEST_SUITE_P(Growth, PushBack, testing::Bool());

TEST(PodVector, ResizeZeroedClearsOnlyTheNewItems) {
  PodVector<std::uint32_t> items(std::vector<std::uint32_t>{7, 8, 9});
  items.resize_zeroed(2);
  items.resize_zeroed(3);  // the 9 is still in memory
  EXPECT_EQ(items[2], 0u);
  items.resize_zeroed(100);
  ASSERT_EQ(items.size(), 100u);
  EXPECT_EQ(items[0], 7u);
  EXPECT_EQ(items[1], 8u);
  for (std::size_t i = 2; i < 100; ++i) ASSERT_EQ(items[i], 0u) << i;
  items.resize_zeroed(0);
  items.shrink_to_fit();
  EXPECT_TRUE(items.empty());
  items.push_back(1);
  EXPECT_EQ(items[0], 1u);
}

TEST(PodVector, MovesHandOverTheItems) {
  PodVector<int> source(std::vector<int>{1, 2, 3});
  PodVector<int> moved(std::move(source));
  EXPECT_TRUE(source.empty());
  ASSERT_EQ(moved.size(), 3u);
  PodVector<int> target(std::vector<int>{9});
  target = std::move(moved);
  EXPECT_TRUE(moved.empty());
  ASSERT_EQ(target.size(), 3u);
  EXPECT_EQ(target[2], 3);
  PodVector<int>* same = &target;
  target = std::move(*same);
  EXPECT_EQ(target.size(), 3u);
  EXPECT_EQ(target[0], 1);
}

TEST(PodVector, ImpossibleSizeIsRefused) {
  PodVector<std::uint64_t> items;
  EXPECT_THROW(items.resize_zeroed(SIZE_MAX / 4), std::bad_alloc);
  EXPECT_TRUE(items.empty());
}

}  // namespace
}  // namespace vertisift::base
