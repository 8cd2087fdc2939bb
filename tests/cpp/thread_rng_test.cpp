#include "random/thread_rng.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace vertisift::random {
namespace {

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

struct Vector {
  std::array<std::uint32_t, 8> key;
  std::uint64_t nonce;
  std::vector<std::uint8_t> keystream;
};

std::vector<Vector> load_vectors() {
  std::ifstream in(std::string(VERTISIFT_SHARED_DIR) + "/testvectors/chacha12.txt");
  std::vector<Vector> vectors;
  Vector current{};
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("key=", 0) == 0) {
      auto bytes = from_hex(line.substr(4));
      for (std::size_t w = 0; w < 8; ++w) {
        current.key[w] = bytes[4 * w] | bytes[4 * w + 1] << 8 | bytes[4 * w + 2] << 16 |
                         static_cast<std::uint32_t>(bytes[4 * w + 3]) << 24;
      }
    } else if (line.rfind("nonce=", 0) == 0) {
      auto bytes = from_hex(line.substr(6));
      current.nonce = 0;
      for (std::size_t i = 8; i-- > 0;) current.nonce = current.nonce << 8 | bytes[i];
    } else if (line.rfind("keystream=", 0) == 0) {
      current.keystream = from_hex(line.substr(10));
      vectors.push_back(current);
    }
  }
  return vectors;
}

int never_reseed(void*, std::size_t) { return 5; }

TEST(ChaCha12, PublishedVectors) {
  auto vectors = load_vectors();
  if (vectors.empty()) {
    GTEST_SKIP() << "the published test vectors (" VERTISIFT_SHARED_DIR
                    "/testvectors/chacha12.txt) are not beside this checkout";
  }
  ASSERT_EQ(vectors.size(), 3u);
  for (const Vector& v : vectors) {
    std::vector<std::uint8_t> produced;
    for (std::uint64_t counter = 0; counter < 2; ++counter) {
      for (std::uint32_t word : chacha12_block(v.key, counter, v.nonce)) {
        for (int b = 0; b < 4; ++b) produced.push_back(static_cast<std::uint8_t>(word >> (8 * b)));
      }
    }
    EXPECT_EQ(produced, v.keystream);
  }
}

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

TEST(ThreadRngHandle, ThreadsHaveIndependentGenerators) {
  ThreadRng* here = &thread_rng();
  std::array<std::uint32_t, 8> other_key{};
  std::thread([&] { other_key = thread_rng().key(); }).join();
  EXPECT_NE(here->key(), other_key);
  EXPECT_EQ(&thread_rng(), here);
}

}  // namespace
}  // namespace vertisift::random
