// The thread random generator: the ChaCha12 keystream of a ChachaBuffer on stream 0, keyed
// from the operating system and re-keyed after every 64 KiB of output.
//
// Design: each refill of the buffer takes REFILL_BYTES from the reseed budget; when the budget
// is spent, the refill first draws a new key (keeping the old one if the system fails), and
// the blocks start again from counter 0. One generator per thread, reached through
// thread_rng(); it is never shared, so nothing is locked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "random/chacha.h"

namespace vertisift::random {

inline constexpr std::int64_t RESEED_THRESHOLD = 65536;
inline constexpr std::int64_t REFILL_BYTES = sizeof(std::uint32_t) * BUFFER_WORDS;

// Fills `out` with `bytes` bytes of key material; returns 0 or the system's error code.
using KeySource = int (*)(void* out, std::size_t bytes);

class ThreadRng {
 public:
  // A generator with this key and counter 0, as after seeding. `reseed_source` is asked for
  // every later key.
  ThreadRng(const ChachaKey& key, KeySource reseed_source)
      : buffer_(key, 0), reseed_source_(reseed_source) {}

  std::uint32_t next_u32();
  std::uint64_t next_u64();

  std::uint64_t block_counter() const { return buffer_.block_counter(); }
  std::int64_t reseed_budget() const { return budget_; }
  int read_index() const { return static_cast<int>(buffer_.read_index()); }
  const ChachaKey& key() const { return buffer_.key(); }

 private:
  // Charges the refill that the next draw makes to the budget, re-keying when it is spent.
  void charge_refill();

  ChachaBuffer buffer_;
  std::int64_t budget_ = RESEED_THRESHOLD;
  KeySource reseed_source_;
};

// The calling thread's generator, created and seeded from the operating system on first use,
// and seeded anew in a forked child, which must not continue its parent's stream. Seeding
// failure is an internal fault ("could not initialize thread_rng: ..."); the next call tries
// again.
ThreadRng& thread_rng();

}  // namespace vertisift::random
