#include "base/keyed_hash.h"

#include <bit>

#include "base/fault.h"
#include "base/fork_epoch.h"
#include "base/os_error.h"
#include "base/os_random.h"

namespace vertisift::base {
namespace {

// `epoch` is the fork epoch the keys were drawn in: a forked child draws its own.
struct ThreadKeys {
  bool ready = false;
  std::uint64_t epoch = 0;
  HashKeys keys{};
};

thread_local ThreadKeys thread_keys;

void draw_keys(ThreadKeys& state, std::uint64_t epoch) {
  std::uint64_t words[2];
  if (int code = fill_os_random(words, sizeof words); code != 0) {
    raise_fault("could not draw hash keys: " + os_error_text(code));
  }
  state.keys = {words[0], words[1]};
  state.epoch = epoch;
  state.ready = true;
}

inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
  // clang-format off
  v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
  v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
  v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
  v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
  // clang-format on
}

}  // namespace

HashKeys next_hash_keys() {
  ThreadKeys& state = thread_keys;
  const std::uint64_t epoch = fork_epoch();
  if (!state.ready || state.epoch != epoch) draw_keys(state, epoch);
  HashKeys current = state.keys;
  state.keys.k0 += 1;
  return current;
}

std::uint64_t siphash13_u64(const HashKeys& keys, std::uint64_t value) {
  std::uint64_t v0 = keys.k0 ^ 0x736f6d6570736575ull;
  std::uint64_t v1 = keys.k1 ^ 0x646f72616e646f6dull;
  std::uint64_t v2 = keys.k0 ^ 0x6c7967656e657261ull;
  std::uint64_t v3 = keys.k1 ^ 0x7465646279746573ull;
  v3 ^= value;
  sip_round(v0, v1, v2, v3);
  v0 ^= value;
  const std::uint64_t tail = 8ull << 56;  // message length 8 in the last block
  v3 ^= tail;
  sip_round(v0, v1, v2, v3);
  v0 ^= tail;
  v2 ^= 0xff;
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace vertisift::base
