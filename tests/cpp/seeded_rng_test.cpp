// The seeded streams: the key derivation, stream separation, and the reads by block.
#include "random/seeded_rng.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "random/chacha.h"

namespace vertisift::random {
namespace {

TEST(SeededRng, KeyIsTheDerivationBlockOfTheSeed) {
  for (std::uint64_t seed :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1} << 32, UINT64_MAX}) {
    const auto block = chacha12_block(SEED_DERIVATION_KEY, seed, 0);
    const SampleKey key = derive_sample_key(seed);
    EXPECT_EQ(0, std::memcmp(key.data(), block.data(), sizeof key)) << seed;
  }
  EXPECT_EQ(0, std::memcmp(SEED_DERIVATION_KEY.data(), "vertisift sample seed derivation", 32));
}

TEST(SeededRng, NearbySeedsGiveUnrelatedKeys) {
  std::set<std::uint32_t> first_words;
  for (std::uint64_t seed = 0; seed < 1000; ++seed) first_words.insert(derive_sample_key(seed)[0]);
  EXPECT_EQ(first_words.size(), 1000u);
}

TEST(SeededRng, StreamReadsBlocksOfItsOwnStreamInOrder) {
  const SampleKey key = derive_sample_key(42);
  StreamRng picks(key, SampleStream::CellPicks);
  for (std::uint64_t block = 0; block < 9; ++block) {  // across two refills
    const auto expected = stream_block(key, SampleStream::CellPicks, block);
    for (std::uint32_t word : expected) ASSERT_EQ(picks.next_u32(), word) << block;
  }
  // Another purpose reads another stream: nothing in common with the first block.
  const auto picks_block = stream_block(key, SampleStream::CellPicks, 0);
  const auto adjust_block = stream_block(key, SampleStream::CountAdjustment, 0);
  EXPECT_NE(picks_block, adjust_block);
  StreamRng wide(key, SampleStream::SurfacePoints);
  const auto words = stream_block(key, SampleStream::SurfacePoints, 0);
  EXPECT_EQ(wide.next_u64(), (std::uint64_t{words[1]} << 32) | words[0]);
}

}  // namespace
}  // namespace vertisift::random
