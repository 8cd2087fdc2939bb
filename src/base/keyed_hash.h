// Keyed hashing for the module's hash maps.
//
// Every thread draws one 128-bit key (k0, k1) from the operating system on first use; each
// map made on that thread takes the current key, after which k0 is increased by one, so no
// two maps share a layout and iteration orders differ from run to run. SipHash-1-3 is used
// where the key must hide the layout (iterated maps); the vertex table, which is never
// iterated, uses a cheaper keyed mix.
#pragma once

#include <cstdint>

namespace vertisift::base {

struct HashKeys {
  std::uint64_t k0;
  std::uint64_t k1;
};

// The calling thread's current keys; advances the thread's k0 by one (wrapping). The keys
// are drawn on the thread's first use, and again in a forked child, so that a child never
// repeats its parent's layouts.
HashKeys next_hash_keys();

std::uint64_t siphash13_u64(const HashKeys& keys, std::uint64_t value);

// A fast keyed mix of up to 128 bits of input; good avalanche, not a cryptographic MAC.
inline std::uint64_t keyed_mix(const HashKeys& keys, std::uint64_t a, std::uint64_t b) {
  unsigned __int128 product =
      static_cast<unsigned __int128>(a ^ keys.k0) * (b ^ keys.k1 ^ 0x9E3779B97F4A7C15ull);
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

}  // namespace vertisift::base
