// The kept blocks: reuse by size, the bound on what stays mapped, and the fork handler.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "base/big_alloc.h"
#include "base/block_cache.h"

namespace vertisift::base {
namespace {

constexpr std::size_t MiB = std::size_t{1} << 20;

void* map(std::size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(block, MAP_FAILED);
  return block;
}

// True when the page at `address` is mapped.
bool mapped(const void* address) {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  void* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(address) / page * page);
  return msync(start, page, MS_ASYNC) == 0 || errno != ENOMEM;
}

// What take gives, or a fresh block of that size when it gives nothing.
void* take_or_map(BlockCache& cache, std::size_t bytes) {
  void* kept = cache.take(bytes);
  return kept != nullptr ? kept : map(bytes);
}

TEST(BlockCache, ReusesABlockOfAboutTheSize) {
  BlockCache cache(256 * MiB);
  void* block = take_or_map(cache, 4 * MiB);
  std::memset(block, 7, 4 * MiB);
  cache.give(block, 4 * MiB);
  EXPECT_EQ(cache.take(2 * MiB), nullptr) << "a block twice the request is not given";
  cache.untake(2 * MiB);
  // A larger one is cut down to the request.
  void* again = cache.take(3 * MiB + MiB / 2);
  EXPECT_EQ(again, block);
  EXPECT_TRUE(mapped(static_cast<char*>(block) + 3 * MiB));
  EXPECT_FALSE(mapped(static_cast<char*>(block) + 3 * MiB + MiB / 2)) << "the tail stays mapped";
  cache.give(again, 3 * MiB + MiB / 2);
  // A smaller one is grown to it, its bytes kept.
  auto* grown = static_cast<unsigned char*>(cache.take(4 * MiB));
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(grown[3 * MiB], 7);
  std::memset(grown, 1, 4 * MiB);
  cache.give(grown, 4 * MiB);
  const BlockCache::Stats stats = cache.stats();
  EXPECT_EQ(stats.in_use, 0u);
  EXPECT_EQ(stats.kept, 4 * MiB);
  EXPECT_EQ(stats.most_in_use, 4 * MiB);
}

// A growing block takes the smallest kept block of the range, whole and with its bytes.
TEST(BlockCache, GrowingTakesTheSmallestKeptBlockOfTheRangeWhole) {
  BlockCache cache(256 * MiB);
  const std::size_t sizes[3] = {2 * MiB, 40 * MiB, 12 * MiB};
  void* blocks[3];
  for (int i = 0; i < 3; ++i) blocks[i] = take_or_map(cache, sizes[i]);
  static_cast<unsigned char*>(blocks[2])[11 * MiB] = 5;
  for (int i = 0; i < 3; ++i) cache.give(blocks[i], sizes[i]);
  std::size_t bytes = 0;
  EXPECT_EQ(cache.take_whole(41 * MiB, 80 * MiB, bytes), nullptr);
  EXPECT_EQ(cache.stats().in_use, 0u);
  auto* taken = static_cast<unsigned char*>(cache.take_whole(3 * MiB, 48 * MiB, bytes));
  EXPECT_EQ(taken, blocks[2]);
  EXPECT_EQ(bytes, 12 * MiB);
  EXPECT_EQ(taken[11 * MiB], 5);
  BlockCache::Stats stats = cache.stats();
  EXPECT_EQ(stats.in_use, 12 * MiB);
  EXPECT_EQ(stats.kept, 42 * MiB);
  EXPECT_EQ(stats.most_in_use, 54 * MiB);
  cache.give(taken, bytes);
}

TEST(BlockCache, MapsNoMoreThanHalfAgainTheMostInUse) {
  BlockCache cache(256 * MiB);
  void* first = take_or_map(cache, 8 * MiB);
  cache.give(first, 8 * MiB);
  void* second = take_or_map(cache, 32 * MiB);
  cache.give(second, 32 * MiB);
  // 16 in use and 40 kept would pass one and a half times the most in use (32): the oldest
  // block goes, and no other.
  void* third = take_or_map(cache, 16 * MiB);
  BlockCache::Stats stats = cache.stats();
  EXPECT_EQ(stats.kept, 32 * MiB);
  EXPECT_EQ(stats.in_use, 16 * MiB);
  EXPECT_FALSE(mapped(first));
  EXPECT_TRUE(mapped(second));
  cache.give(third, 16 * MiB);
  // Past the limit, or the number of blocks, the oldest go too; a block past the limit itself
  // is not kept.
  void* large = take_or_map(cache, 300 * MiB);
  cache.give(large, 300 * MiB);
  EXPECT_FALSE(mapped(large));
  for (std::size_t i = 0; i < BlockCache::MAX_BLOCKS + 1; ++i) cache.give(map(MiB), MiB);
  stats = cache.stats();
  EXPECT_EQ(stats.kept, BlockCache::MAX_BLOCKS * MiB);
  EXPECT_FALSE(mapped(second));
}

TEST(BlockCache, AForkedChildDropsTheKeptBlocks) {
  BlockCache cache(256 * MiB);
  void* block = take_or_map(cache, 2 * MiB);
  cache.give(block, 2 * MiB);
  cache.lock();  // as the handler before the fork does
  cache.drop_in_child();
  EXPECT_EQ(cache.stats().kept, 0u);
  EXPECT_FALSE(mapped(block));
  EXPECT_EQ(cache.take(2 * MiB), nullptr);  // and the lock is free again
}

TEST(BigAlloc, AForkedChildAllocatesWhileTheParentKeepsBlocks) {
  void* block = big_alloc(8 * MiB);
  big_free(block, 8 * MiB);
  void* again = big_alloc(8 * MiB);
  EXPECT_EQ(again, block) << "a freed block is reused";
  big_free(again, 8 * MiB);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool dropped = !mapped(block);
    void* fresh = big_alloc(8 * MiB);
    std::memset(fresh, 1, 8 * MiB);
    big_free(fresh, 8 * MiB);
    _exit(dropped ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child kept its parent's block";
}

TEST(BigAlloc, ACountWhoseSizeWrapsIsRefused) {
  // 2^61 + 1 elements of 8 bytes are 2^64 + 8 bytes, which wraps to a block of 8.
  EXPECT_THROW((void)BigAllocator<std::uint64_t>().allocate(SIZE_MAX / 8 + 2), std::bad_alloc);
}

}  // namespace
}  // namespace vertisift::base
