#include "module/entry_guard.h"

#include <string>

#include "base/fault.h"

namespace vertisift::module {
namespace {

// The panic exception's name and docstring, and the fault texts below, are fixed by
// compatibility with the module's earlier builds: they must stay exactly as written.
constexpr const char* PANIC_TYPE_NAME = "pyo3_runtime.PanicException";
constexpr const char* PANIC_TYPE_DOC =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr const char* UNKNOWN_FAULT_TEXT = "panic from Rust code";

PyObject* panic_type = nullptr;  // created once, under the interpreter lock; never released

}  // namespace

PyObject* panic_exception_type() {
  if (panic_type == nullptr) {
    PyObject* created =
        PyErr_NewExceptionWithDoc(PANIC_TYPE_NAME, PANIC_TYPE_DOC, PyExc_BaseException, nullptr);
    if (created == nullptr) {
      base::raise_fault(std::string("Failed to initialize new exception type.") + ": " +
                        boundary::describe_pending_error());
    }
    if (panic_type == nullptr) {
      panic_type = created;  // kept for the life of the process
      boundary::set_fault_exception_type(panic_type);
    } else {
      Py_DECREF(created);
    }
  }
  return panic_type;
}

void raise_panic(const char* message) {
  PendingException::deferred(panic_exception_type(), message).raise();
}

void PanicFaults::raise(const char* message) {
  raise_panic(message != nullptr ? message : UNKNOWN_FAULT_TEXT);
}

}  // namespace vertisift::module
