#include "random/chacha.h"

#include <bit>
#include <cstring>

namespace vertisift::random {
namespace {

inline void quarter_round(ChachaBlock& s, std::size_t a, std::size_t b, std::size_t c,
                          std::size_t d) {
  // clang-format off
  s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 16);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 12);
  s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 8);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 7);
  // clang-format on
}

}  // namespace

ChachaBlock chacha12_block(const ChachaKey& key, std::uint64_t counter, std::uint64_t stream) {
  // "expand 32-byte k" as four little-endian words.
  // clang-format off
  const ChachaBlock input = {
      0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,
      key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
      static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
      static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32)};
  // clang-format on
  ChachaBlock state = input;
  for (int round = 0; round < CHACHA_ROUNDS; round += 2) {
    quarter_round(state, 0, 4, 8, 12);
    quarter_round(state, 1, 5, 9, 13);
    quarter_round(state, 2, 6, 10, 14);
    quarter_round(state, 3, 7, 11, 15);
    quarter_round(state, 0, 5, 10, 15);
    quarter_round(state, 1, 6, 11, 12);
    quarter_round(state, 2, 7, 8, 13);
    quarter_round(state, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < state.size(); ++i) state[i] += input[i];
  return state;
}

void ChachaBuffer::refill() {
  for (std::size_t block = 0; block < BLOCKS_PER_REFILL; ++block) {
    const ChachaBlock words = chacha12_block(key_, counter_ + block, stream_);
    std::memcpy(buffer_.data() + BLOCK_WORDS * block, words.data(), sizeof words);
  }
  counter_ += BLOCKS_PER_REFILL;
  index_ = 0;
}

}  // namespace vertisift::random
