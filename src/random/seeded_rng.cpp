#include "random/seeded_rng.h"

#include <cstring>
#include <string>

#include "base/fault.h"
#include "base/os_error.h"
#include "base/os_random.h"
#include "random/thread_rng.h"

namespace vertisift::random {

SampleKey derive_sample_key(std::uint64_t seed) {
  const auto block = chacha12_block(SEED_DERIVATION_KEY, seed, 0);
  SampleKey key;
  std::memcpy(key.data(), block.data(), sizeof key);
  return key;
}

SampleKey os_sample_key() {
  SampleKey key;
  if (int code = base::fill_os_random(key.data(), sizeof key); code != 0) {
    base::raise_fault("could not draw a sampling key: " + base::os_error_text(code));
  }
  return key;
}

std::array<std::uint32_t, 16> stream_block(const SampleKey& key, SampleStream stream,
                                           std::uint64_t counter) {
  return chacha12_block(key, counter, static_cast<std::uint64_t>(stream));
}

void StreamRng::refill() {
  for (std::size_t block = 0; block < 4; ++block) {
    const auto words = chacha12_block(key_, counter_ + block, stream_);
    std::memcpy(buffer_.data() + 16 * block, words.data(), sizeof words);
  }
  counter_ += 4;
  index_ = 0;
}

std::uint32_t StreamRng::next_u32() {
  if (index_ >= 64) refill();
  return buffer_[index_++];
}

std::uint64_t StreamRng::next_u64() {
  const std::uint64_t low = next_u32();
  const std::uint64_t high = next_u32();
  return (high << 32) | low;
}

std::uint64_t uniform_index(StreamRng& rng, std::uint64_t n) {
  if (n < (std::uint64_t{1} << 32)) {
    const auto range = static_cast<std::uint32_t>(n);
    const std::uint32_t zone = (range << __builtin_clz(range)) - 1;
    for (;;) {
      const std::uint64_t product = std::uint64_t{rng.next_u32()} * range;
      if (static_cast<std::uint32_t>(product) <= zone) return product >> 32;
    }
  }
  const std::uint64_t zone = (n << __builtin_clzll(n)) - 1;
  for (;;) {
    const unsigned __int128 product = static_cast<unsigned __int128>(rng.next_u64()) * n;
    if (static_cast<std::uint64_t>(product) <= zone) {
      return static_cast<std::uint64_t>(product >> 64);
    }
  }
}

}  // namespace vertisift::random
