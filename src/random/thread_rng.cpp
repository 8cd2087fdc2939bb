#include "random/thread_rng.h"

#include <optional>
#include <string>
#include <type_traits>

#include "base/fault.h"
#include "base/fork_epoch.h"
#include "base/os_error.h"
#include "base/os_random.h"

namespace vertisift::random {
namespace {

// The thread's generator and the fork epoch it was seeded in: a forked child seeds its own
// rather than continue its parent's stream. Held in place, not on the heap: an empty optional
// of a trivially destructible type needs no destructor registered for the thread's exit.
static_assert(std::is_trivially_destructible_v<ThreadRng>);
thread_local std::optional<ThreadRng> thread_generator;
thread_local std::uint64_t thread_generator_epoch = 0;

}  // namespace

void ThreadRng::charge_refill() {
  if (budget_ > 0) {
    budget_ -= REFILL_BYTES;
    return;
  }
  ChachaKey fresh;
  if (reseed_source_(fresh.data(), sizeof fresh) == 0) buffer_.rekey(fresh);
  // A failed reseed keeps the old key and counter; the next try comes 64 KiB later.
  budget_ = RESEED_THRESHOLD - REFILL_BYTES;
}

std::uint32_t ThreadRng::next_u32() {
  if (buffer_.unread() == 0) charge_refill();
  return buffer_.next_u32();
}

std::uint64_t ThreadRng::next_u64() {
  // Two words need one refill at most. A new key only reaches the blocks of that refill, so
  // charging it before the first word is read leaves a word already in the buffer as it is.
  if (buffer_.unread() < 2) charge_refill();
  return buffer_.next_u64();
}

ThreadRng& thread_rng() {
  const std::uint64_t epoch = base::fork_epoch();
  if (!thread_generator || thread_generator_epoch != epoch) {
    thread_generator.reset();
    ChachaKey key;
    if (int code = base::fill_os_random(key.data(), sizeof key); code != 0) {
      base::raise_fault("could not initialize thread_rng: " + base::os_error_text(code));
    }
    thread_generator.emplace(key, &base::fill_os_random);
    thread_generator_epoch = epoch;
  }
  return *thread_generator;
}

}  // namespace vertisift::random
