// How the boundary reports failure, and the guard around both entry points.
//
// Every boundary operation returns an Outcome: its value, or a PendingException that is
// raised only when it reaches the guard. A PendingException is either an exception already
// fetched from the interpreter, or a deferred one: an exception type and its message, made
// into an object only when raised. Internal faults are C++ exceptions; entry_guard turns them
// into the panic exception, and an exhausted allocator into MemoryError.
#pragma once

#include "module/py_ref.h"  // first: Python.h precedes the standard headers

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <variant>

#include "base/result.h"

namespace vertisift::module {

class PendingException {
 public:
  static PendingException fetched(PyRef exception) {
    return PendingException(Fetched{std::move(exception)});
  }
  // `type` is an interpreter-lifetime exception class (a built-in one, or the panic type).
  static PendingException deferred(PyObject* type, std::string message) {
    return PendingException(Deferred{type, std::move(message)});
  }

  // Raises it in the interpreter (which takes over the reference of a fetched one).
  void raise();

  // The exception's type (not a new reference).
  PyObject* type() const;
  // The text of the exception (its str), or the unprintable fallback.
  std::string text();
  // The fetched exception object, or NULL for a deferred one.
  PyObject* object() const;

 private:
  struct Fetched {
    PyRef exception;
  };
  struct Deferred {
    PyObject* type;
    std::string message;
  };
  template <class State>
  explicit PendingException(State state) : state_(std::in_place_type<State>, std::move(state)) {}

  std::variant<Fetched, Deferred> state_;
};

// A boundary operation's value, or the exception it ends with.
template <class T>
using Outcome = base::Result<T, PendingException>;

// Takes the interpreter's current exception (SystemError when none is set). A panic
// exception coming back from Python resumes as an internal fault.
PendingException fetch_pending();

// Wraps a NULL-or-new-reference from one of the interpreter's constructors: NULL means the
// interpreter could not make the object, which is an internal fault ("Python API call
// failed"), or MemoryError when the interpreter ran out of memory.
PyRef checked(PyObject* object);

// The panic exception type, created on first need and kept for the life of the process.
PyObject* panic_exception_type();

// The qualified name of `object`'s type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object);

// str(object) as UTF-8 (characters UTF-8 cannot hold become U+FFFD); when str fails, the
// failure is reported as unraisable and "<unprintable {type} object>" stands in.
std::string text_of(PyObject* object);

// TypeError "'{type}' object cannot be converted to '{target}'" for `object`.
PendingException conversion_error(PyObject* object, const char* target);

// The interpreter's pending exception rendered with type, value and traceback (for fault
// messages); clears it.
std::string describe_pending_error();

// Raises a panic exception with `message` as its single argument.
void raise_panic(const char* message);

// Runs `body` (returning Outcome<PyRef>) and hands the interpreter either the new reference
// or NULL with an exception set. Nothing else ever leaves: if converting a fault faults
// again, the process aborts.
template <class Body>
PyObject* entry_guard(Body&& body) noexcept {
  try {
    try {
      Outcome<PyRef> outcome = body();
      if (outcome.ok()) return outcome.value().release();
      outcome.error().raise();
      return nullptr;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return nullptr;
    } catch (const std::exception& fault) {
      raise_panic(fault.what());
      return nullptr;
    } catch (...) {
      raise_panic("panic from Rust code");  // fixed by compatibility: must stay exactly so
      return nullptr;
    }
  } catch (const std::bad_alloc&) {
    // Memory ran out while a fault was being turned into its exception.
    PyErr_NoMemory();
    return nullptr;
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
  }
}

}  // namespace vertisift::module
