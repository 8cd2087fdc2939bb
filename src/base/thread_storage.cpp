#include "base/thread_storage.h"

#include <exception>

namespace vertisift::base {
namespace {

// Any variable of this library's block allocates the whole block. Volatile, so that neither
// the store nor the runtime call whose result it keeps can be left out.
thread_local volatile int pending_exceptions = 0;

}  // namespace

void prepare_thread_storage() {
  // Reads the runtime's per-thread exception state, which allocates the runtime's block.
  pending_exceptions = std::uncaught_exceptions();
}

}  // namespace vertisift::base
