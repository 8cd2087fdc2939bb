// uniform_index over both engines: the words it takes, the rule it follows, and its spread.
#include "random/uniform.h"

#include <gtest/gtest.h>

#include <array>

#include "random/seeded_rng.h"
#include "random/thread_rng.h"

namespace vertisift::random {
namespace {

int never_reseed(void*, std::size_t) { return 5; }

TEST(UniformIndex, OneConsumesAWordAndReturnsZero) {
  std::array<std::uint32_t, 8> key{};
  ThreadRng rng(key, never_reseed);
  // zone for n = 1 is 2^31 - 1: words >= 2^31 are rejected.
  auto words = chacha12_block(key, 0, 0);
  int expected_used = 0;
  while (words[static_cast<std::size_t>(expected_used)] >= 0x80000000u) ++expected_used;
  ++expected_used;
  EXPECT_EQ(uniform_index(rng, 1), 0u);
  EXPECT_EQ(rng.read_index(), expected_used);
}

TEST(UniformIndex, PathChosenByRange) {
  std::array<std::uint32_t, 8> key{3};
  ThreadRng a(key, never_reseed);
  uniform_index(a, (std::uint64_t{1} << 32) - 1);
  EXPECT_LE(a.read_index(), 3);  // 32-bit words: one per try
  ThreadRng b(key, never_reseed);
  uniform_index(b, std::uint64_t{1} << 32);
  EXPECT_EQ(b.read_index() % 2, 0);  // 64-bit words: two per try
}

// The key is chosen so that both paths reject some words: without the rejection, the draws
// would differ.
TEST(UniformIndex, MatchesTheMultiplyAndRejectRule) {
  std::array<std::uint32_t, 8> key{7, 0};
  ThreadRng rng(key, never_reseed);
  ThreadRng mirror(key, never_reseed);
  int rejected32 = 0;
  int rejected64 = 0;
  for (std::uint64_t n : {2ull, 3ull, 6ull, 1000ull, 0x80000001ull, 0xFFFFFFFFull}) {
    const auto zone =
        static_cast<std::uint32_t>((n << __builtin_clz(static_cast<std::uint32_t>(n))) - 1);
    std::uint64_t expected;
    for (;;) {
      std::uint64_t m = std::uint64_t{mirror.next_u32()} * n;
      if (static_cast<std::uint32_t>(m) <= zone) {
        expected = m >> 32;
        break;
      }
      ++rejected32;
    }
    EXPECT_EQ(uniform_index(rng, n), expected) << n;
  }
  for (std::uint64_t n : {1ull << 32, (1ull << 63) + 1, ~0ull}) {
    const std::uint64_t zone = (n << __builtin_clzll(n)) - 1;
    std::uint64_t expected;
    for (;;) {
      unsigned __int128 m = static_cast<unsigned __int128>(mirror.next_u64()) * n;
      if (static_cast<std::uint64_t>(m) <= zone) {
        expected = static_cast<std::uint64_t>(m >> 64);
        break;
      }
      ++rejected64;
    }
    EXPECT_EQ(uniform_index(rng, n), expected) << n;
  }
  EXPECT_GT(rejected32, 0);
  EXPECT_GT(rejected64, 0);
}

TEST(UniformIndex, IsUniformOverSmallRanges) {
  ThreadRng& rng = thread_rng();
  std::array<int, 6> counts{};
  const int draws = 60000;
  for (int i = 0; i < draws; ++i) ++counts[uniform_index(rng, 6)];
  for (int c : counts) EXPECT_NEAR(c, draws / 6, 500);
}

TEST(UniformIndex, IsInRangeAndUniformOverASeededStream) {
  StreamRng rng(derive_sample_key(7), SampleStream::CountAdjustment);
  int counts[6] = {};
  for (int i = 0; i < 60000; ++i) ++counts[uniform_index(rng, 6)];
  for (int count : counts) EXPECT_NEAR(count, 10000, 500);
  for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{1} << 32, UINT64_MAX}) {
    for (int i = 0; i < 100; ++i) ASSERT_LT(uniform_index(rng, n), n);
  }
}

}  // namespace
}  // namespace vertisift::random
