// The ChaCha block function with 12 rounds, and ChachaBuffer, the keystream that both
// generators read: the per-thread one (thread_rng.h) and the seeded streams (seeded_rng.h).
//
// Design of ChachaBuffer: the state is the 32-byte key, a 64-bit block counter (words 12-13
// of the ChaCha state, low word first) and a 64-bit stream number (words 14-15). A refill
// runs BLOCKS_PER_REFILL consecutive blocks into a buffer of BUFFER_WORDS words and advances
// the counter past them; `index_` is the next unread word, BUFFER_WORDS when the buffer is
// used up (as it is in a new one). A 64-bit draw is two words, low word first, across a
// refill too. A new key takes effect at the next refill, from block 0. One owner, no lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vertisift::random {

inline constexpr int CHACHA_ROUNDS = 12;
inline constexpr std::size_t BLOCK_WORDS = 16;
// Four blocks amortise the refill over 64 words, a quarter of a page.
inline constexpr std::size_t BLOCKS_PER_REFILL = 4;
inline constexpr std::size_t BUFFER_WORDS = BLOCK_WORDS * BLOCKS_PER_REFILL;

using ChachaKey = std::array<std::uint32_t, 8>;
using ChachaBlock = std::array<std::uint32_t, BLOCK_WORDS>;

// One ChaCha12 block: the 16 output words for `key`, block `counter` and `stream`.
ChachaBlock chacha12_block(const ChachaKey& key, std::uint64_t counter, std::uint64_t stream);

class ChachaBuffer {
 public:
  ChachaBuffer(const ChachaKey& key, std::uint64_t stream) : key_(key), stream_(stream) {}

  std::uint32_t next_u32() {
    if (index_ >= BUFFER_WORDS) refill();
    return buffer_[index_++];
  }

  std::uint64_t next_u64() {
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return (high << 32) | low;
  }

  // Words that can be read before the next refill.
  std::size_t unread() const { return BUFFER_WORDS - index_; }

  // The blocks of every later refill come from `key`, counting from block 0.
  void rekey(const ChachaKey& key) {
    key_ = key;
    counter_ = 0;
  }

  const ChachaKey& key() const { return key_; }
  std::uint64_t block_counter() const { return counter_; }
  std::size_t read_index() const { return index_; }

 private:
  void refill();

  ChachaKey key_;
  std::uint64_t stream_;
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, BUFFER_WORDS> buffer_{};
  std::size_t index_ = BUFFER_WORDS;
};

}  // namespace vertisift::random
