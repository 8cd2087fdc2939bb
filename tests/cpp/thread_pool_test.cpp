// The worker pool: its sizing rule, and passes under stress (many passes, one item, two
// items, more workers than items, faults). Built with ThreadSanitizer by `make test-tsan`.
#include "parallel/thread_pool.h"

#include <gtest/gtest.h>

#include <chrono>

#include <atomic>
#include <new>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/fault.h"

namespace vertisift::parallel {
namespace {

struct SizeCase {
  const char* num_threads;
  const char* rs_num_cpus;
  std::size_t processors;
  std::size_t expected;
};

class PoolSizeFromEnv : public testing::TestWithParam<SizeCase> {};

TEST_P(PoolSizeFromEnv, FollowsTheFirstRuleThatApplies) {
  const SizeCase& c = GetParam();
  EXPECT_EQ(pool_size_from_env(c.num_threads, c.rs_num_cpus, c.processors), c.expected)
      << "RAYON_NUM_THREADS=" << (c.num_threads ? c.num_threads : "(unset)")
      << " RAYON_RS_NUM_CPUS=" << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)")
      << " processors=" << c.processors;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PoolSizeFromEnv,
    testing::Values(
        SizeCase{nullptr, nullptr, 6, 6}, SizeCase{nullptr, nullptr, 0, 1},
        SizeCase{"3", nullptr, 6, 3}, SizeCase{"+3", nullptr, 6, 3}, SizeCase{"0", nullptr, 6, 6},
        SizeCase{"0", "5", 6, 6},  // 0: the default at once
        SizeCase{"0", "5", 0, 1}, SizeCase{"+0", "5", 6, 6}, SizeCase{"007", nullptr, 6, 7},
        // Not a number: the next rule applies.
        SizeCase{" 3", nullptr, 6, 6}, SizeCase{"3 ", "5", 6, 5}, SizeCase{"abc", "5", 6, 5},
        SizeCase{"", "5", 6, 5}, SizeCase{"+", "5", 6, 5}, SizeCase{"-3", "5", 6, 5},
        SizeCase{"++3", nullptr, 6, 6}, SizeCase{"3\n", nullptr, 6, 6},
        SizeCase{"0x10", nullptr, 6, 6}, SizeCase{"1e3", nullptr, 6, 6},
        // Beyond 64 bits: not a number either.
        SizeCase{"18446744073709551616", "5", 6, 5},
        SizeCase{"99999999999999999999999", nullptr, 6, 6},
        // RAYON_RS_NUM_CPUS counts only from 1 up.
        SizeCase{nullptr, "5", 6, 5}, SizeCase{nullptr, "+2", 6, 2}, SizeCase{nullptr, "0", 6, 6},
        SizeCase{nullptr, " 2", 6, 6}, SizeCase{nullptr, "x", 0, 1},
        // The cap, whichever rule gave the size.
        SizeCase{"65535", nullptr, 6, 65535}, SizeCase{"65536", nullptr, 6, 65535},
        SizeCase{"18446744073709551615", nullptr, 6, 65535}, SizeCase{nullptr, "1000000", 6, 65535},
        SizeCase{nullptr, nullptr, 100000, 65535}, SizeCase{"0", nullptr, 70000, 65535}));

// Records, for one pass, which chunks ran over which ranges.
struct Coverage {
  explicit Coverage(std::size_t count) : hits(count) {}
  std::vector<std::atomic<int>> hits;
};

void expect_each_item_once(std::size_t count) {
  Coverage coverage(count);
  std::atomic<std::size_t> calls{0};
  run_chunks(count, [&](std::size_t, std::size_t begin, std::size_t end) {
    ASSERT_LT(begin, end);
    ASSERT_LE(end, count);
    for (std::size_t i = begin; i < end; ++i) coverage.hits[i].fetch_add(1);
    calls.fetch_add(1);
  });
  for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(coverage.hits[i].load(), 1) << i;
  EXPECT_EQ(calls.load(), count == 0 ? 0 : chunk_count(count));
}

TEST(ThreadPool, EveryItemOnceForSmallAndLargeCounts) {
  for (std::size_t count : {0u, 1u, 2u, 3u, 5u, 7u, 8u, 64u, 1000u, 100003u}) {
    expect_each_item_once(count);
  }
}

TEST(ThreadPool, ChunksAreContiguousAndInOrder) {
  const std::size_t count = 1001;
  const std::size_t chunks = chunk_count(count);
  std::vector<std::pair<std::size_t, std::size_t>> ranges(chunks);
  run_chunks(count, [&](std::size_t chunk, std::size_t begin, std::size_t end) {
    ranges[chunk] = {begin, end};
  });
  std::size_t expected_begin = 0;
  for (const auto& [begin, end] : ranges) {
    EXPECT_EQ(begin, expected_begin);
    expected_begin = end;
  }
  EXPECT_EQ(expected_begin, count);
}

TEST(ThreadPool, MaxChunksIsHonoured) {
  for (std::size_t limit : {1u, 2u, 3u}) {
    std::atomic<std::size_t> calls{0};
    run_chunks(
        100, [&](std::size_t, std::size_t, std::size_t) { calls.fetch_add(1); }, limit);
    EXPECT_EQ(calls.load(), std::min<std::size_t>(limit, chunk_count(100)));
  }
}

// Many short passes in a row: a worker that wakes late for one pass must not touch the next.
TEST(ThreadPool, ManyPassesOfOneTwoAndFewItems) {
  std::vector<long> values(3);
  for (int pass = 0; pass < 20000; ++pass) {
    const std::size_t count = 1 + static_cast<std::size_t>(pass % 3);
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) values[i] += 1;
    });
  }
  // Passes of 1, 2 and 3 items in turn: item 0 in all, item 1 in two thirds, item 2 in one.
  EXPECT_EQ(values[0], 20000);
  EXPECT_EQ(values[1], 13333);
  EXPECT_EQ(values[2], 6666);
}

TEST(ThreadPool, ReduceCombinesLeftToRight) {
  for (std::size_t count : {0u, 1u, 2u, 3u, 17u, 500u}) {
    std::string expected;
    for (std::size_t i = 0; i < count; ++i) expected += static_cast<char>('a' + i % 26);
    for (int repeat = 0; repeat < 50; ++repeat) {
      std::string joined = parallel_reduce(
          count, std::string(),
          [](std::string& out, std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) out += static_cast<char>('a' + i % 26);
          },
          [](std::string& left, std::string&& right) { left += right; });
      ASSERT_EQ(joined, expected) << count;
    }
  }
}

TEST(ThreadPool, ReduceSumsLargeRange) {
  const std::size_t count = 1 << 20;
  const auto total = parallel_reduce(
      count, std::uint64_t{0},
      [](std::uint64_t& sum, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) sum += i;
      },
      [](std::uint64_t& left, std::uint64_t&& right) { left += right; });
  EXPECT_EQ(total, std::uint64_t{count} * (count - 1) / 2);
}

TEST(ThreadPool, FaultInAChunkReachesTheCallerAndThePoolGoesOn) {
  for (int round = 0; round < 200; ++round) {
    std::atomic<int> ran{0};
    try {
      run_chunks(64, [&](std::size_t chunk, std::size_t, std::size_t) {
        ran.fetch_add(1);
        if (chunk % 3 == static_cast<std::size_t>(round % 3)) {
          throw base::InternalFault("chunk failed");
        }
      });
      FAIL() << "no fault";
    } catch (const base::InternalFault& fault) {
      EXPECT_STREQ(fault.what(), "chunk failed");
    }
    EXPECT_GE(ran.load(), 1);
    expect_each_item_once(10);
  }
}

TEST(ThreadPool, AllocationFailureOnAWorkerStaysBadAlloc) {
  EXPECT_THROW(run_chunks(8, [](std::size_t, std::size_t, std::size_t) { throw std::bad_alloc(); }),
               std::bad_alloc);
  expect_each_item_once(8);
}

TEST(ThreadPool, TaskRunsOnWorkersNotTheCaller) {
  if (pool_size() == 0) GTEST_SKIP();
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> on_caller{false};
  run_chunks(1000, [&](std::size_t, std::size_t, std::size_t) {
    if (std::this_thread::get_id() == caller) on_caller = true;
  });
  EXPECT_FALSE(on_caller.load());
  // A pass over one item runs right here, and so does every pass of a sequential scope.
  std::thread::id ran_on;
  parallel_for(1, [&](std::size_t, std::size_t) { ran_on = std::this_thread::get_id(); });
  EXPECT_EQ(ran_on, caller);
  std::atomic<bool> elsewhere{false};
  {
    const SequentialPasses sequential(true);
    run_chunks(1000, [&](std::size_t, std::size_t, std::size_t) {
      if (std::this_thread::get_id() != caller) elsewhere = true;
    });
  }
  EXPECT_FALSE(elsewhere.load());
}

// A pass posted while another runs gets a worker as soon as one finishes a chunk, rather
// than waiting for the whole of the other pass.
TEST(ThreadPool, PassesPostedAtOnceShareTheWorkers) {
  if (pool_size() < 2) GTEST_SKIP() << "needs two workers";
  std::atomic<bool> second_posting{false};
  std::atomic<int> clock{0};
  std::atomic<int> first_ended{0};
  std::atomic<int> second_ended{0};
  std::thread second([&] {
    while (clock.load() == 0) std::this_thread::yield();  // the first pass has begun
    second_posting = true;
    run_chunks(4, [&](std::size_t, std::size_t, std::size_t) {});
    second_ended = ++clock;
  });
  run_chunks(1000, [&](std::size_t chunk, std::size_t, std::size_t) {
    if (chunk == 0) {
      ++clock;
      while (!second_posting.load()) std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(chunk == 0 ? 50 : 10));
  });
  first_ended = ++clock;
  second.join();
  EXPECT_LT(second_ended.load(), first_ended.load());
}

TEST(ThreadPool, ChunkCountBounds) {
  EXPECT_EQ(chunk_count(0), 1u);
  EXPECT_EQ(chunk_count(1), 1u);
  EXPECT_EQ(chunk_count(2), 2u);
  EXPECT_LE(chunk_count(1000000), pool_size() * 4);
  EXPECT_EQ(chunk_count(1000000, 3), std::min<std::size_t>(3, pool_size() * 4));
}

}  // namespace
}  // namespace vertisift::parallel
