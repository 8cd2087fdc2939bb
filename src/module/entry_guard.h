// The extension's fault policy: an internal fault reaches Python as the panic exception, a
// type derived from BaseException, and entry_guard wraps the entry point with it.
#pragma once

#include "boundary/guard.h"  // first: Python.h precedes the standard headers

namespace vertisift::module {

using boundary::checked;
using boundary::fetch_pending;
using boundary::Outcome;
using boundary::PendingException;
using boundary::PyRef;

// The panic exception type, created on first need and kept for the life of the process.
PyObject* panic_exception_type();

// Raises a panic exception with `message` as its single argument.
void raise_panic(const char* message);

struct PanicFaults {
  // A fault without a text of its own raises "panic from Rust code".
  static void raise(const char* message);
  // Fixed by compatibility, like every text the extension shows: it must stay exactly so.
  static constexpr const char* DOUBLE_FAULT = "uncaught panic at ffi boundary\n";
};

// Runs `body` (returning Outcome<PyRef>) under the extension's fault policy.
template <class Body>
PyObject* entry_guard(Body&& body) {
  return boundary::guard<PanicFaults>(std::forward<Body>(body));
}

}  // namespace vertisift::module
