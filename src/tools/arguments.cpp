#include "tools/arguments.h"

#include <limits>
#include <string>
#include <string_view>

#include "boundary/conversions.h"

namespace vertisift::tools {
namespace {

using boundary::Outcome;
using boundary::PendingException;
using boundary::PyRef;

PendingException type_error(std::string message) {
  return PendingException::deferred(PyExc_TypeError, std::move(message));
}

}  // namespace

PendingException too_many_positional(const char* function, Py_ssize_t allowed, Py_ssize_t given) {
  return type_error(std::string(function) + "() takes at most " + std::to_string(allowed) +
                    " positional arguments (" + std::to_string(given) + " given)");
}

PendingException unexpected_keyword(const char* function, PyObject* keyword) {
  return type_error(std::string(function) + "() got an unexpected keyword argument '" +
                    boundary::text_of(keyword) + "'");
}

PendingException given_twice(const char* function, const char* name, std::size_t position) {
  return type_error(std::string("argument for ") + function + "() given by name ('" + name +
                    "') and position (" + std::to_string(position) + ")");
}

PendingException missing_argument(const char* function, const char* name, std::size_t position,
                                  bool by_position) {
  std::string message = std::string(function) + "() missing required argument '" + name + "'";
  if (by_position) message += " (pos " + std::to_string(position) + ")";
  return type_error(std::move(message));
}

bool keyword_is(PyObject* keyword, const char* name) {
  return PyUnicode_CompareWithASCIIString(keyword, name) == 0;
}

Outcome<bool> to_bool(PyObject* value) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  return boundary::conversion_error(value, "PyBool");
}

Outcome<std::optional<std::uint64_t>> to_optional_u64(PyObject* value) {
  if (value == Py_None) return std::optional<std::uint64_t>();
  auto number = boundary::to_u64(value);
  if (!number.ok()) return std::move(number.error());
  return std::optional<std::uint64_t>(number.value());
}

Outcome<std::string_view> to_name(PyObject* value) {
  if (!PyUnicode_Check(value)) return boundary::conversion_error(value, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return boundary::fetch_pending();
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::string type_name(PyObject* value) {
  return boundary::type_name_of(value, boundary::TypeNaming::Plain);
}

std::string repr_of(PyObject* value) {
  PyRef text = PyRef::steal(PyObject_Repr(value));
  if (text) return boundary::text_of(text.get());
  PyErr_Clear();
  return boundary::text_of(value);
}

PendingException wrong_type(std::string_view expected, PyObject* value) {
  return type_error(std::string(expected) + ", not " + type_name(value));
}

Outcome<PyRef> to_integer(PyObject* value, std::string_view expected) {
  if (PyBool_Check(value)) return wrong_type(expected, value);
  PyObject* number = PyNumber_Index(value);
  if (number == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return boundary::fetch_pending();
    PyErr_Clear();
    return wrong_type(expected, value);
  }
  return PyRef::steal(number);
}

bool is_negative(PyObject* integer) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  return overflow < 0 || (overflow == 0 && value < 0);
}

std::optional<std::uint64_t> within_u64(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::uint64_t{value};
}

Outcome<bool> to_flag(PyObject* value, const char* name) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  // NumPy's bool, known by its type's name, since the module does not import NumPy.
  const std::string_view type = Py_TYPE(value)->tp_name;
  if (type == "numpy.bool" || type == "numpy.bool_") {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return boundary::fetch_pending();
    return truth == 1;
  }
  return wrong_type(std::string(name) + " must be a bool", value);
}

PendingException unknown_name(const char* what, std::string_view name) {
  return PendingException::deferred(
      PyExc_ValueError, std::string("unknown ") + what + " '" + std::string(name) + "'");
}

}  // namespace vertisift::tools
