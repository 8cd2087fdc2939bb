// The one place where a module's C++ failures become Python exceptions.
//
// guard<Faults>(body) runs `body` (returning Outcome<PyRef>) and hands the interpreter the new
// reference, or NULL with an exception set: the body's PendingException, MemoryError for an
// exhausted allocator, and for any other internal fault what the module's policy raises:
//
//   struct Faults {
//     // Raises the module's exception for an internal fault; `message` is the fault's text,
//     // or null for a fault that carries none.
//     static void raise(const char* message);
//     // Written to standard error before the process aborts, when raising a fault faults again.
//     static constexpr const char* DOUBLE_FAULT = "...";
//     // Optional: the text of the MemoryError for an exhausted allocator; without it the
//     // MemoryError has none.
//     static constexpr const char* NO_MEMORY = "...";
//     // Optional: raises the module's exception for a worker thread that the system refused
//     // to start, given the failure's one-line description; without it the refusal is an
//     // internal fault like any other, its diagnostic written to standard error.
//     static void refused_threads(const std::string& description);
//   };
//
// A forced unwinding (a daemon thread ended at interpreter exit, see released_lock.h) is
// passed on untouched: swallowing it would abort the process.
#pragma once

#include "boundary/pending.h"  // first: Python.h precedes the standard headers

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "base/fault.h"
#include "parallel/thread_pool.h"

namespace vertisift::boundary {

// Raises the module's exception for an internal fault. If that faults again, memory ran out
// (MemoryError) or the process aborts: nothing else ever leaves the guard.
template <class Faults>
PyObject* raise_fault(const char* message) {
  try {
    Faults::raise(message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    std::fputs(Faults::DOUBLE_FAULT, stderr);
    std::fflush(stderr);
    std::abort();
  }
  return nullptr;
}

// MemoryError for an allocation that failed, with the policy's text if it has one.
template <class Faults>
PyObject* raise_no_memory() {
  if constexpr (requires { Faults::NO_MEMORY; }) {
    PyErr_SetString(PyExc_MemoryError, Faults::NO_MEMORY);
  } else {
    PyErr_NoMemory();
  }
  return nullptr;
}

// A worker thread that the system refused to start: in the policy's words if it has them.
template <class Faults>
PyObject* raise_refused_threads(const parallel::ThreadStartFailure& failure) {
  if constexpr (requires { Faults::refused_threads(failure.description()); }) {
    Faults::refused_threads(failure.description());
    return nullptr;
  } else {
    base::report_fault(failure.what(), failure.where());
    return raise_fault<Faults>(failure.what());
  }
}

template <class Faults, class Body>
PyObject* guard(Body&& body) {
  try {
    Outcome<PyRef> outcome = body();
    if (outcome.ok()) return outcome.value().release();
    outcome.error().raise();
    return nullptr;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    return raise_no_memory<Faults>();
  } catch (const parallel::ThreadStartFailure& failure) {
    return raise_refused_threads<Faults>(failure);
  } catch (const std::exception& fault) {
    return raise_fault<Faults>(fault.what());
  } catch (...) {
    return raise_fault<Faults>(nullptr);
  }
}

}  // namespace vertisift::boundary
