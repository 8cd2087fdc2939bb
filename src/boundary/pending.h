// How a boundary reports failure, and the helpers both modules use to talk to the interpreter.
//
// Every boundary operation returns an Outcome: its value, or a PendingException that is
// raised only when it reaches the guard (guard.h). A PendingException is either an exception
// already fetched from the interpreter, or a deferred one: an exception type and its message,
// made into an object only when raised.
#pragma once

#include "boundary/py_ref.h"  // first: Python.h precedes the standard headers

#include <string>
#include <utility>
#include <variant>

#include "base/result.h"

namespace vertisift::boundary {

class PendingException {
 public:
  static PendingException fetched(PyRef exception) {
    return PendingException(Fetched{std::move(exception)});
  }
  // `type` is an interpreter-lifetime exception class (a built-in one, or a module's own).
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

// The exception type that stands for an internal fault in this module, if it has one. An
// exception of that type coming back from Python (through fetch_pending) resumes as a fault.
// Set once, under the interpreter lock, and kept for the life of the process.
void set_fault_exception_type(PyObject* type);

// Takes the interpreter's current exception (SystemError when none is set). An exception of
// the module's fault type resumes as an internal fault, its stack trace printed first.
PendingException fetch_pending();

// Wraps a NULL-or-new-reference from one of the interpreter's constructors: NULL means the
// interpreter could not make the object, which is an internal fault ("Python API call
// failed"), or MemoryError when the interpreter ran out of memory.
PyRef checked(PyObject* object);

// Which name of a type: its qualified name (with its enclosing classes), or its plain one
// (`type(x).__name__`).
enum class TypeNaming { Qualified, Plain };

// The name of `object`'s type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object, TypeNaming naming = TypeNaming::Qualified);

// str(object) as UTF-8 (characters UTF-8 cannot hold become U+FFFD); when str fails, the
// failure is reported as unraisable and "<unprintable {type} object>" stands in.
std::string text_of(PyObject* object);

// TypeError "'{type}' object cannot be converted to '{target}'" for `object`.
PendingException conversion_error(PyObject* object, const char* target);

// The interpreter's pending exception rendered with type, value and traceback (for fault
// messages); clears it.
std::string describe_pending_error();

}  // namespace vertisift::boundary
