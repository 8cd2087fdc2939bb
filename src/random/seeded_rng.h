// Random streams for sampling whose output is fixed by a 64-bit seed.
//
// Every draw of a sample comes from the ChaCha12 block function (chacha.h), under
// one 256-bit key per call, with the 64-bit stream number telling the purposes apart (cell
// picks, count adjustment, surface points), so that no purpose's draws shift another's.
//
// Key derivation: the key for seed s is the first 8 words of the ChaCha12 block with the fixed
// key SEED_DERIVATION_KEY (the ASCII text "vertisift sample seed derivation", little-endian
// words), block counter s and stream 0. Every seed in [0, 2^64) thus has its own key, and
// nearby seeds give unrelated keys. A call without a seed takes its key from the operating
// system instead, so it draws with the same statistics but never repeats.
//
// StreamRng reads one stream sequentially through a ChachaBuffer: counter from 0, never
// re-keyed (a reseed would break the repeatability). stream_block() reads a stream by block
// index, for passes whose items draw in parallel: item i's words depend on i alone.
#pragma once

#include <array>
#include <cstdint>

#include "random/chacha.h"

namespace vertisift::random {

using SampleKey = ChachaKey;

// "vertisift sample seed derivation" as eight little-endian words.
inline constexpr SampleKey SEED_DERIVATION_KEY = {0x74726576u, 0x66697369u, 0x61732074u,
                                                  0x656c706du, 0x65657320u, 0x65642064u,
                                                  0x61766972u, 0x6e6f6974u};

enum class SampleStream : std::uint64_t {
  CellPicks = 1,        // one uniform index per occupied cell, in cell-key order
  CountAdjustment = 2,  // the shuffle, or the top-up draws, in order
  SurfacePoints = 3,    // by block: four words per surface point
  FarthestStart = 4,    // the candidate that farthest-point sampling starts from
};

SampleKey derive_sample_key(std::uint64_t seed);

// A key from the operating system; an internal fault if the system has none to give.
SampleKey os_sample_key();

// The 16 words of block `counter` of `stream` under `key`.
ChachaBlock stream_block(const SampleKey& key, SampleStream stream, std::uint64_t counter);

class StreamRng {
 public:
  StreamRng(const SampleKey& key, SampleStream stream)
      : buffer_(key, static_cast<std::uint64_t>(stream)) {}

  std::uint32_t next_u32() { return buffer_.next_u32(); }
  std::uint64_t next_u64() { return buffer_.next_u64(); }

 private:
  ChachaBuffer buffer_;
};

}  // namespace vertisift::random
