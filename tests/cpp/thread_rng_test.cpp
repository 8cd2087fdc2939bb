#include "random/thread_rng.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vertisift::random {
namespace {

int never_reseed(void*, std::size_t) { return 5; }

TEST(ThreadRng, WordsFollowTheKeystreamFourBlocksPerRefill) {
  std::array<std::uint32_t, 8> key{1, 2, 3, 4, 5, 6, 7, 8};
  ThreadRng rng(key, never_reseed);
  EXPECT_EQ(rng.read_index(), 64);
  for (std::uint64_t block = 0; block < 8; ++block) {
    for (std::uint32_t expected : chacha12_block(key, block, 0)) {
      ASSERT_EQ(rng.next_u32(), expected);
    }
    EXPECT_EQ(rng.block_counter(), block < 4 ? 4u : 8u);
  }
}

TEST(ThreadRng, SixtyFourBitDrawAcrossRefill) {
  std::array<std::uint32_t, 8> key{};
  ThreadRng rng(key, never_reseed);
  auto first = chacha12_block(key, 0, 0);
  auto fifth = chacha12_block(key, 4, 0);
  auto fourth = chacha12_block(key, 3, 0);
  // low word first, then high word
  EXPECT_EQ(rng.next_u64(), std::uint64_t{first[1]} << 32 | first[0]);
  for (int i = 2; i < 63; ++i) rng.next_u32();
  EXPECT_EQ(rng.read_index(), 63);
  EXPECT_EQ(rng.next_u64(), std::uint64_t{fifth[0]} << 32 | fourth[15]);
  EXPECT_EQ(rng.read_index(), 1);
}

int counting_source(void* out, std::size_t size) {
  static std::uint8_t next = 100;
  auto* bytes = static_cast<std::uint8_t*>(out);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = next;
  ++next;
  return 0;
}

TEST(ThreadRng, ReseedsAfter64KiB) {
  std::array<std::uint32_t, 8> key{};
  ThreadRng rng(key, counting_source);
  // 256 refills of 256 bytes use up the budget: the 257th draws a new key.
  for (int word = 0; word < 256 * 64; ++word) rng.next_u32();
  EXPECT_EQ(rng.key(), key);
  EXPECT_EQ(rng.block_counter(), 1024u);
  EXPECT_EQ(rng.reseed_budget(), 0);
  rng.next_u32();
  EXPECT_NE(rng.key(), key);
  EXPECT_EQ(rng.block_counter(), 4u);
  EXPECT_EQ(rng.reseed_budget(), RESEED_THRESHOLD - 256);
}

TEST(ThreadRng, FailedReseedKeepsKeyAndCounter) {
  std::array<std::uint32_t, 8> key{9};
  ThreadRng rng(key, never_reseed);
  for (int word = 0; word < 257 * 64; ++word) rng.next_u32();
  EXPECT_EQ(rng.key(), key);
  EXPECT_EQ(rng.block_counter(), 1028u);
  EXPECT_EQ(rng.reseed_budget(), RESEED_THRESHOLD - 256);
}

TEST(ThreadRngHandle, ThreadsHaveIndependentGenerators) {
  ThreadRng* here = &thread_rng();
  std::array<std::uint32_t, 8> other_key{};
  std::thread([&] { other_key = thread_rng().key(); }).join();
  EXPECT_NE(here->key(), other_key);
  EXPECT_EQ(&thread_rng(), here);
}

}  // namespace
}  // namespace vertisift::random
