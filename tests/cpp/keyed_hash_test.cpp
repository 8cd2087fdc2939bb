// SipHash-1-3 against an independent implementation of SipHash-c-d over bytes, written from
// the algorithm's description and anchored to the published SipHash-2-4 vectors of its
// authors; the per-thread keys.
#include "base/keyed_hash.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vertisift::base {
namespace {

std::uint64_t rotate_left(std::uint64_t x, int bits) { return x << bits | x >> (64 - bits); }

// SipHash with `c` compression and `d` finalisation rounds of a byte message, as the
// algorithm describes it: little-endian 8-byte words, the last word padded with zeros and
// the message length mod 256 in its top byte.
std::uint64_t reference_siphash(int c, int d, std::uint64_t k0, std::uint64_t k1,
                                const std::vector<std::uint8_t>& message) {
  std::uint64_t v[4] = {k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull,
                        k0 ^ 0x6c7967656e657261ull, k1 ^ 0x7465646279746573ull};
  auto round = [&v] {
    v[0] += v[1];
    v[1] = rotate_left(v[1], 13) ^ v[0];
    v[0] = rotate_left(v[0], 32);
    v[2] += v[3];
    v[3] = rotate_left(v[3], 16) ^ v[2];
    v[0] += v[3];
    v[3] = rotate_left(v[3], 21) ^ v[0];
    v[2] += v[1];
    v[1] = rotate_left(v[1], 17) ^ v[2];
    v[2] = rotate_left(v[2], 32);
  };
  auto compress = [&](std::uint64_t word) {
    v[3] ^= word;
    for (int i = 0; i < c; ++i) round();
    v[0] ^= word;
  };
  std::size_t at = 0;
  for (; at + 8 <= message.size(); at += 8) {
    std::uint64_t word = 0;
    for (std::size_t b = 0; b < 8; ++b) word |= std::uint64_t{message[at + b]} << (8 * b);
    compress(word);
  }
  std::uint64_t last = std::uint64_t{message.size() & 0xff} << 56;
  for (std::size_t b = 0; at + b < message.size(); ++b) {
    last |= std::uint64_t{message[at + b]} << (8 * b);
  }
  compress(last);
  v[2] ^= 0xff;
  for (int i = 0; i < d; ++i) round();
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

std::vector<std::uint8_t> counting_bytes(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return bytes;
}

// The key 00 01 .. 0f of the published vectors, as two little-endian words.
constexpr std::uint64_t VECTOR_K0 = 0x0706050403020100ull;
constexpr std::uint64_t VECTOR_K1 = 0x0f0e0d0c0b0a0908ull;

TEST(SipHash, ReferenceGivesThePublishedTwoFourVectors) {
  EXPECT_EQ(reference_siphash(2, 4, VECTOR_K0, VECTOR_K1, {}), 0x726fdb47dd0e0e31ull);
  EXPECT_EQ(reference_siphash(2, 4, VECTOR_K0, VECTOR_K1, counting_bytes(15)),
            0xa129ca6149be45e5ull);
}

TEST(SipHash, OneThreeOfAWordMatchesTheReference) {
  const std::uint64_t values[] = {0, 1, 0x0706050403020100ull, 0x8000000000000000ull, ~0ull};
  const HashKeys keys[] = {{0, 0}, {VECTOR_K0, VECTOR_K1}, {~0ull, 1}, {0x9E3779B97F4A7C15ull, 0}};
  for (const HashKeys& key : keys) {
    for (std::uint64_t value : values) {
      std::vector<std::uint8_t> message;
      for (int b = 0; b < 8; ++b) message.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
      EXPECT_EQ(siphash13_u64(key, value), reference_siphash(1, 3, key.k0, key.k1, message))
          << std::hex << key.k0 << " " << key.k1 << " " << value;
    }
  }
}

// Each call hands out the thread's key and then moves k0 on by one; threads draw their own.
TEST(NextHashKeys, AdvanceByOneAndDifferBetweenThreads) {
  const HashKeys first = next_hash_keys();
  const HashKeys second = next_hash_keys();
  EXPECT_EQ(second.k0, first.k0 + 1);
  EXPECT_EQ(second.k1, first.k1);
  HashKeys other{};
  std::thread([&] { other = next_hash_keys(); }).join();
  EXPECT_NE(other.k1, first.k1);
}

}  // namespace
}  // namespace vertisift::base
