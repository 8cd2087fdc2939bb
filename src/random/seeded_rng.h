// Random streams for sampling whose output is fixed by a 64-bit seed.
//
// Every draw of a sample comes from the ChaCha12 block function of the thread generator, under
// one 256-bit key per call, with the 64-bit stream number telling the purposes apart (cell
// picks, count adjustment, surface points), so that no purpose's draws shift another's.
//
// Key derivation: the key for seed s is the first 8 words of the ChaCha12 block with the fixed
// key SEED_DERIVATION_KEY (the ASCII text "vertisift sample seed derivation", little-endian
// words), block counter s and stream 0. Every seed in [0, 2^64) thus has its own key, and
// nearby seeds give unrelated keys. A call without a seed takes its key from the operating
// system instead, so it draws with the same statistics but never repeats.
//
// StreamRng reads one stream sequentially: four blocks per refill, counter from 0, never
// re-keyed (a reseed would break the repeatability). stream_block() reads a stream by block
// index, for passes whose items draw in parallel: item i's words depend on i alone.
#pragma once

#include <array>
#include <cstdint>

namespace vertisift::random {

using SampleKey = std::array<std::uint32_t, 8>;

// "vertisift sample seed derivation" as eight little-endian words.
inline constexpr SampleKey SEED_DERIVATION_KEY = {0x74726576u, 0x66697369u, 0x61732074u,
                                                  0x656c706du, 0x65657320u, 0x65642064u,
                                                  0x61766972u, 0x6e6f6974u};

enum class SampleStream : std::uint64_t {
  CellPicks = 1,        // one uniform index per occupied cell, in cell-key order
  CountAdjustment = 2,  // the shuffle, or the top-up draws, in order
  SurfacePoints = 3,    // by block: four words per surface point
};

SampleKey derive_sample_key(std::uint64_t seed);

// A key from the operating system; an internal fault if the system has none to give.
SampleKey os_sample_key();

// The 16 words of block `counter` of `stream` under `key`.
std::array<std::uint32_t, 16> stream_block(const SampleKey& key, SampleStream stream,
                                           std::uint64_t counter);

class StreamRng {
 public:
  StreamRng(const SampleKey& key, SampleStream stream)
      : key_(key), stream_(static_cast<std::uint64_t>(stream)) {}

  std::uint32_t next_u32();
  std::uint64_t next_u64();

 private:
  void refill();

  SampleKey key_;
  std::uint64_t stream_;
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, 64> buffer_{};
  std::size_t index_ = 64;  // the next unread word; 64 when used up
};

// Uniform in [0, n) for n >= 1, by the same rejection on the product of a random word and n
// as the thread generator's uniform_index, so both draw with the same statistics.
std::uint64_t uniform_index(StreamRng& rng, std::uint64_t n);

// A double uniform in [0, 1) from the top 53 bits of `bits`.
inline double unit_double(std::uint64_t bits) {
  return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

}  // namespace vertisift::random
