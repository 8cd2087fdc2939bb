#include "boundary/conversions.h"

#include <limits>
#include <string>
#include <utility>

namespace vertisift::boundary {

Outcome<mesh_io::PathText> path_text(PyObject* text) {
  if (!PyUnicode_Check(text)) return conversion_error(text, "PyString");
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return mesh_io::PathText(std::string(utf8, static_cast<std::size_t>(size)));
  }
  PyErr_Clear();  // unpaired surrogates: take the wide code units instead
  const Py_ssize_t needed = PyUnicode_AsWideChar(text, nullptr, 0);
  if (needed < 0) return fetch_pending();
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  const Py_ssize_t written = PyUnicode_AsWideChar(text, wide.data(), needed);
  if (written < 0) return fetch_pending();
  wide.resize(static_cast<std::size_t>(written));  // without the terminating null
  return mesh_io::PathText(std::move(wide));
}

Outcome<std::uint64_t> to_u64(PyObject* value) {
  unsigned long long result;
  if (PyLong_Check(value)) {
    result = PyLong_AsUnsignedLongLong(value);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) return fetch_pending();
    result = PyLong_AsUnsignedLongLong(index.get());
  }
  // Failure shows only as 2^64 - 1 with an exception set; without one it is the value.
  if (result == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
    return fetch_pending();
  }
  return std::uint64_t{result};
}

PendingException read_error(const mesh_io::ReadError& error, std::string_view prefix,
                            PyObject* filename) {
  std::string message(prefix);
  message += error.display();
  if (filename == nullptr) return PendingException::deferred(PyExc_OSError, std::move(message));
  PyRef code = error.kind == mesh_io::ReadErrorKind::Os ? checked(PyLong_FromLong(error.os_code))
                                                        : PyRef::borrow(Py_None);
  PyRef text = checked(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  PyRef arguments = checked(PyTuple_Pack(3, code.get(), text.get(), filename));
  // OSError's constructor picks the subclass that the code stands for.
  PyRef exception = PyRef::steal(PyObject_Call(PyExc_OSError, arguments.get(), nullptr));
  if (!exception) return fetch_pending();
  return PendingException::fetched(std::move(exception));
}

}  // namespace vertisift::boundary
