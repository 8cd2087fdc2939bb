// Draws over any engine with next_u32() and next_u64() (ThreadRng, StreamRng): a draw's
// value depends on the engine's words alone, so both generators draw with the same rule.
#pragma once

#include <bit>
#include <cstdint>

namespace vertisift::random {

// Uniform in [0, n) for n >= 1, by rejection on the product of a random word and n: one
// 32-bit word per try below 2^32, one 64-bit draw per try from there on.
template <class Engine>
std::uint64_t uniform_index(Engine& engine, std::uint64_t n) {
  if (n < (std::uint64_t{1} << 32)) {
    const auto range = static_cast<std::uint32_t>(n);
    const std::uint32_t zone = (range << std::countl_zero(range)) - 1;
    for (;;) {
      const std::uint64_t product = std::uint64_t{engine.next_u32()} * range;
      if (static_cast<std::uint32_t>(product) <= zone) return product >> 32;
    }
  }
  const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
  for (;;) {
    const unsigned __int128 product = static_cast<unsigned __int128>(engine.next_u64()) * n;
    if (static_cast<std::uint64_t>(product) <= zone) {
      return static_cast<std::uint64_t>(product >> 64);
    }
  }
}

// A double uniform in [0, 1) from the top 53 bits of `bits`.
inline double unit_double(std::uint64_t bits) {
  return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

}  // namespace vertisift::random
