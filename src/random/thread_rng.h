// The thread random generator: a ChaCha keystream with 12 rounds, keyed from the operating
// system and re-keyed after every 64 KiB of output.
//
// Design: the state is the 32-byte key, a 64-bit block counter (words 12-13 of the ChaCha
// state, low word first) and a 64-bit stream number (words 14-15, always 0). A refill runs
// four consecutive blocks into a 64-word buffer; `index_` is the next unread word, 64 when
// the buffer is used up (as it is in a new generator). Each refill takes 256 bytes from the
// reseed budget; when the budget is spent, the refill first draws a new key (keeping the old
// one if the system fails). One generator per thread, reached through thread_rng(); it is
// never shared, so nothing is locked.
#pragma once

#include <array>
#include <cstdint>

namespace vertisift::random {

inline constexpr std::int64_t RESEED_THRESHOLD = 65536;
inline constexpr int CHACHA_ROUNDS = 12;
// Blocks computed per refill: four amortise the call over 64 words, a quarter of a page.
inline constexpr int BLOCKS_PER_REFILL = 4;
inline constexpr int BUFFER_WORDS = 16 * BLOCKS_PER_REFILL;
inline constexpr std::int64_t REFILL_BYTES = 4 * BUFFER_WORDS;

// One ChaCha12 block: 16 output words for `key`, block `counter` and `stream`.
std::array<std::uint32_t, 16> chacha12_block(const std::array<std::uint32_t, 8>& key,
                                             std::uint64_t counter, std::uint64_t stream);

// Fills `out` with `bytes` bytes of key material; returns 0 or the system's error code.
using KeySource = int (*)(void* out, std::size_t bytes);

class ThreadRng {
 public:
  // A generator with this key and counter 0, as after seeding. `reseed_source` is asked for
  // every later key.
  ThreadRng(const std::array<std::uint32_t, 8>& key, KeySource reseed_source);

  std::uint32_t next_u32();
  std::uint64_t next_u64();

  std::uint64_t block_counter() const { return counter_; }
  std::int64_t reseed_budget() const { return budget_; }
  int read_index() const { return index_; }
  const std::array<std::uint32_t, 8>& key() const { return key_; }

 private:
  void refill();

  std::array<std::uint32_t, 8> key_;
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, BUFFER_WORDS> buffer_{};
  int index_ = BUFFER_WORDS;
  std::int64_t budget_ = RESEED_THRESHOLD;
  KeySource reseed_source_;
};

// The calling thread's generator, created and seeded from the operating system on first use,
// and seeded anew in a forked child, which must not continue its parent's stream. Seeding
// failure is an internal fault ("could not initialize thread_rng: ..."); the next call tries
// again.
ThreadRng& thread_rng();

// Uniform in [0, n) for n >= 1, by rejection on the product of a random word and n.
std::uint64_t uniform_index(ThreadRng& rng, std::uint64_t n);

}  // namespace vertisift::random
