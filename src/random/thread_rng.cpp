#include "random/thread_rng.h"

#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "base/fault.h"
#include "base/fork_epoch.h"
#include "base/os_error.h"
#include "base/os_random.h"

namespace vertisift::random {
namespace {

inline void quarter_round(std::array<std::uint32_t, 16>& s, std::size_t a, std::size_t b,
                          std::size_t c, std::size_t d) {
  // clang-format off
  s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 16);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 12);
  s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 8);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 7);
  // clang-format on
}

// The thread's generator and the fork epoch it was seeded in: a forked child seeds its own
// rather than continue its parent's stream. Held in place, not on the heap: an empty optional
// of a trivially destructible type needs no destructor registered for the thread's exit.
static_assert(std::is_trivially_destructible_v<ThreadRng>);
thread_local std::optional<ThreadRng> thread_generator;
thread_local std::uint64_t thread_generator_epoch = 0;

}  // namespace

std::array<std::uint32_t, 16> chacha12_block(const std::array<std::uint32_t, 8>& key,
                                             std::uint64_t counter, std::uint64_t stream) {
  // "expand 32-byte k" as four little-endian words.
  // clang-format off
  const std::array<std::uint32_t, 16> input = {
      0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,
      key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
      static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
      static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32)};
  // clang-format on
  std::array<std::uint32_t, 16> state = input;
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

ThreadRng::ThreadRng(const std::array<std::uint32_t, 8>& key, KeySource reseed_source)
    : key_(key), reseed_source_(reseed_source) {}

void ThreadRng::refill() {
  if (budget_ > 0) {
    budget_ -= REFILL_BYTES;
  } else {
    std::array<std::uint32_t, 8> fresh;
    if (reseed_source_(fresh.data(), sizeof fresh) == 0) {
      key_ = fresh;
      counter_ = 0;
    }
    // A failed reseed keeps the old key and counter; the next try comes 64 KiB later.
    budget_ = RESEED_THRESHOLD - REFILL_BYTES;
  }
  for (int block = 0; block < BLOCKS_PER_REFILL; ++block) {
    auto words = chacha12_block(key_, counter_ + static_cast<std::uint64_t>(block), 0);
    std::memcpy(buffer_.data() + words.size() * static_cast<std::size_t>(block), words.data(),
                sizeof words);
  }
  counter_ += BLOCKS_PER_REFILL;
}

std::uint32_t ThreadRng::next_u32() {
  if (index_ >= BUFFER_WORDS) {
    refill();
    index_ = 0;
  }
  return buffer_[static_cast<std::size_t>(index_++)];
}

std::uint64_t ThreadRng::next_u64() {
  std::uint64_t low, high;
  if (index_ <= BUFFER_WORDS - 2) {
    low = buffer_[static_cast<std::size_t>(index_)];
    high = buffer_[static_cast<std::size_t>(index_ + 1)];
    index_ += 2;
  } else if (index_ == BUFFER_WORDS - 1) {
    low = buffer_[BUFFER_WORDS - 1];
    refill();
    high = buffer_[0];
    index_ = 1;
  } else {
    refill();
    low = buffer_[0];
    high = buffer_[1];
    index_ = 2;
  }
  return (high << 32) | low;
}

ThreadRng& thread_rng() {
  const std::uint64_t epoch = base::fork_epoch();
  if (!thread_generator || thread_generator_epoch != epoch) {
    thread_generator.reset();
    std::array<std::uint32_t, 8> key;
    if (int code = base::fill_os_random(key.data(), sizeof key); code != 0) {
      base::raise_fault("could not initialize thread_rng: " + base::os_error_text(code));
    }
    thread_generator.emplace(key, &base::fill_os_random);
    thread_generator_epoch = epoch;
  }
  return *thread_generator;
}

std::uint64_t uniform_index(ThreadRng& rng, std::uint64_t n) {
  if (n < (std::uint64_t{1} << 32)) {
    const auto range = static_cast<std::uint32_t>(n);
    const std::uint32_t zone = (range << std::countl_zero(range)) - 1;
    for (;;) {
      const std::uint64_t product = std::uint64_t{rng.next_u32()} * range;
      if (static_cast<std::uint32_t>(product) <= zone) return product >> 32;
    }
  }
  const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
  for (;;) {
    const unsigned __int128 product = static_cast<unsigned __int128>(rng.next_u64()) * n;
    if (static_cast<std::uint64_t>(product) <= zone) {
      return static_cast<std::uint64_t>(product >> 64);
    }
  }
}

}  // namespace vertisift::random
