#include "tools/read_errors.h"

#include <string>
#include <utility>

#include "boundary/conversions.h"
#include "boundary/guard.h"
#include "tools/arguments.h"
#include "tools/sample_call.h"
#include "tools/state.h"

namespace vertisift::tools {
namespace {

using boundary::Outcome;
using boundary::PendingException;
using boundary::PyRef;

struct ReadErrorClasses {
  PyRef mesh;
  PyRef stl;
};

// An exception class derived from OSError, borrowed into `into`; TypeError otherwise.
Conversion to_os_error_class(PyObject* value, PyRef& into) {
  if (!PyType_Check(value) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(value),
                                                reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
    return boundary::conversion_error(value, "OSError subclass");
  }
  into = PyRef::borrow(value);
  return Converted{};
}

constexpr Parameter<ReadErrorClasses> REGISTER_PARAMETERS[] = {
    {.name = "mesh_read_error",
     .convert = [](PyObject* value,
                   ReadErrorClasses& into) { return to_os_error_class(value, into.mesh); }},
    {.name = "stl_read_error",
     .convert = [](PyObject* value,
                   ReadErrorClasses& into) { return to_os_error_class(value, into.stl); }},
};
constexpr Signature<ReadErrorClasses> REGISTER_SIGNATURE = {
    .function = "register_read_errors",
    .positional = 2,
    .parameters = REGISTER_PARAMETERS,
};

Outcome<PyRef> register_read_errors(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  ReadErrorClasses classes;
  Conversion bound = bind(REGISTER_SIGNATURE, args, nargs, kwnames, classes);
  if (!bound.ok()) return std::move(bound.error());
  ToolsState& state = state_of(module);
  Py_XSETREF(state.mesh_read_error, classes.mesh.release());
  Py_XSETREF(state.stl_read_error, classes.stl.release());
  return PyRef::borrow(Py_None);
}

}  // namespace

PyObject* register_read_errors_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return boundary::guard<ToolFaults>(
      [&] { return register_read_errors(module, args, nargs, kwnames); });
}

PyObject* refusal_type(PyObject* module, std::string_view format) {
  const ToolsState& state = state_of(module);
  return format == formats::STL_FORMAT ? state.stl_read_error : state.mesh_read_error;
}

PendingException file_read_error(const mesh_io::ReadError& error, PyObject* filename,
                                 PyObject* refusal) {
  if (error.kind == mesh_io::ReadErrorKind::Os || refusal == nullptr) {
    return boundary::read_error(error, "", filename);
  }
  const std::string message = error.display();
  PyRef text = boundary::checked(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  PyRef arguments = boundary::checked(PyTuple_Pack(3, Py_None, text.get(), filename));
  PyRef exception = PyRef::steal(PyObject_Call(refusal, arguments.get(), nullptr));
  if (!exception) return boundary::fetch_pending();
  return PendingException::fetched(std::move(exception));
}

}  // namespace vertisift::tools
