#include "base/fork_epoch.h"

#include <pthread.h>

#include <atomic>
#include <new>

namespace vertisift::base {
namespace {

// Only the child handler writes it, while the child has a single thread; relaxed loads
// suffice on the threads that read it.
std::atomic<std::uint64_t> epoch{0};

void advance_in_child() { epoch.fetch_add(1, std::memory_order_relaxed); }

bool register_handler() {
  // pthread_atfork fails only for want of memory. The exception leaves the static below
  // uninitialised, so the next call tries again.
  if (pthread_atfork(nullptr, nullptr, advance_in_child) != 0) throw std::bad_alloc();
  return true;
}

}  // namespace

std::uint64_t fork_epoch() {
  [[maybe_unused]] static const bool registered = register_handler();
  return epoch.load(std::memory_order_relaxed);
}

}  // namespace vertisift::base
