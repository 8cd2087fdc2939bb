// The sharded map under concurrent upserts from the worker pool, and its keyed iteration
// order. Built with ThreadSanitizer by `make test-tsan`.
#include "parallel/sharded_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "parallel/thread_pool.h"

namespace vertisift::parallel {
namespace {

std::map<std::uint64_t, std::vector<std::uint64_t>> contents(
    const ShardedMap<std::vector<std::uint64_t>>& map) {
  std::map<std::uint64_t, std::vector<std::uint64_t>> out;
  map.for_each([&](std::uint64_t key, const std::vector<std::uint64_t>& values) {
    EXPECT_TRUE(out.emplace(key, values).second) << "key visited twice: " << key;
  });
  return out;
}

// Item i goes under key (i * stride) % key_count: every key gets the same items whichever
// worker inserts them, in whatever order.
void fill_and_check(std::size_t items, std::uint64_t key_count) {
  ShardedMap<std::vector<std::uint64_t>> map;
  parallel_for(items, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      map.upsert((i * 7919) % key_count,
                 [&](std::vector<std::uint64_t>& list) { list.push_back(i); });
    }
  });
  auto found = contents(map);
  ASSERT_EQ(map.size(), std::min<std::uint64_t>(items, key_count));
  ASSERT_EQ(found.size(), map.size());
  std::size_t total = 0;
  for (auto& [key, values] : found) {
    std::sort(values.begin(), values.end());
    for (std::uint64_t item : values) ASSERT_EQ((item * 7919) % key_count, key);
    total += values.size();
  }
  EXPECT_EQ(total, items);
}

TEST(ShardedMap, ConcurrentUpsertsLoseNothing) {
  fill_and_check(0, 10);
  fill_and_check(1, 10);
  fill_and_check(2, 1);
  fill_and_check(2, 2);
  fill_and_check(5000, 1);         // every worker on one entry
  fill_and_check(50000, 37);       // heavy contention on few shards
  fill_and_check(200000, 150000);  // many growths of every shard
}

TEST(ShardedMap, ManySmallMapsInARow) {
  for (int round = 0; round < 3000; ++round)
    fill_and_check(static_cast<std::size_t>(1 + round % 4), 3);
}

TEST(ShardedMap, ExtremeKeys) {
  ShardedMap<int> map;
  const std::uint64_t keys[] = {0, 1, UINT64_MAX, UINT64_MAX - 1, 1ull << 63};
  for (auto key : keys) map.upsert(key, [](int& value) { value += 1; });
  for (auto key : keys) map.upsert(key, [](int& value) { value += 1; });
  EXPECT_EQ(map.size(), 5u);
  map.for_each([](std::uint64_t, const int& value) { EXPECT_EQ(value, 2); });
}

// Each map takes its own keys, so two maps holding the same keys iterate them in different
// orders (with 1000 keys, equal orders by chance are out of the question).
TEST(ShardedMap, IterationOrderDiffersBetweenMaps) {
  auto order_of = [] {
    ShardedMap<int> map;
    for (std::uint64_t key = 0; key < 1000; ++key) map.upsert(key, [](int& v) { v = 1; });
    std::vector<std::uint64_t> order;
    map.for_each([&](std::uint64_t key, const int&) { order.push_back(key); });
    return order;
  };
  const auto first = order_of();
  const auto second = order_of();
  ASSERT_EQ(first.size(), 1000u);
  EXPECT_NE(first, second);
}

// The smallest power of two that gives every processor four shards (none reported: one).
TEST(ShardCount, SmallestPowerOfTwoWithFourPerProcessor) {
  for (std::size_t processors = 0; processors <= 64; ++processors) {
    const std::size_t wanted = 4 * std::max<std::size_t>(processors, 1);
    std::size_t expected = 1;
    while (expected < wanted) expected *= 2;
    EXPECT_EQ(shard_count_for(processors), expected) << processors;
  }
  EXPECT_EQ(shard_count(), shard_count_for(logical_processors()));
}

}  // namespace
}  // namespace vertisift::parallel
