#include "random/seeded_rng.h"

#include <cstring>
#include <string>

#include "base/fault.h"
#include "base/os_error.h"
#include "base/os_random.h"

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

ChachaBlock stream_block(const SampleKey& key, SampleStream stream, std::uint64_t counter) {
  return chacha12_block(key, counter, static_cast<std::uint64_t>(stream));
}

}  // namespace vertisift::random
