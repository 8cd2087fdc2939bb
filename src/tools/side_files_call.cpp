#include "tools/side_files_call.h"

#include <cxxabi.h>

#include <cerrno>
#include <climits>
#include <exception>
#include <string>
#include <utility>

#include "boundary/released_lock.h"

namespace vertisift::tools {
namespace {

using boundary::PendingException;
using boundary::PyRef;
using mesh_io::FileStream;
using mesh_io::ReadError;
using mesh_io::ReadResult;

PendingException type_error(std::string message) {
  return PendingException::deferred(PyExc_TypeError, std::move(message));
}

ReadError stopped_error() { return ReadError::invalid_data(mesh_io::STOPPED_MESSAGE); }

// The read error of a side file for which the callable raised the OSError `exception`: the
// system's error of its errno, as a file in the model's folder would fail, else the
// exception's text as invalid data.
ReadError error_of(PyObject* exception) {
  PyRef code = PyRef::steal(PyObject_GetAttrString(exception, "errno"));
  if (code && PyLong_Check(code.get())) {
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(code.get(), &overflow);
    if (overflow == 0 && number >= INT_MIN && number <= INT_MAX && !PyErr_Occurred()) {
      return ReadError::os(static_cast<int>(number));
    }
  }
  PyErr_Clear();
  return ReadError::invalid_data(boundary::text_of(exception));
}

}  // namespace

Conversion convert_data(PyObject* value, ModelData& into) {
  into.given = value != Py_None;
  if (!into.given) return Converted{};
  if (PyObject_CheckBuffer(value) && into.data.acquire(value)) return Converted{};
  // A buffer that is not contiguous refuses with BufferError; anything else is the object's
  // own failure.
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_BufferError)) {
    return boundary::fetch_pending();
  }
  PyErr_Clear();
  return wrong_type("data must be None or a C-contiguous bytes-like object", value);
}

Conversion convert_side_files(PyObject* value, ModelData& into) {
  if (value == Py_None) return Converted{};
  if (PyCallable_Check(value) == 0) {
    return wrong_type("side_files must be None or a callable", value);
  }
  if (!into.given) return type_error("side_files must be None when data is None");
  into.side_files = value;
  return Converted{};
}

ReadResult<FileStream> CallbackSideFiles::open_checked(std::string_view name) {
  if (callable_ == nullptr) return ReadError::os(ENOENT);
  if (stopped()) return stopped_error();
  // The work under the lock must not throw: a fault (no memory, an internal fault coming back
  // from Python) is carried out of it and rethrown here, with the lock released again.
  std::exception_ptr fault;
  auto answer = boundary::with_interpreter_lock([&]() -> ReadResult<FileStream> {
    try {
      return call(name);
    } catch (abi::__forced_unwind&) {
      throw;  // the interpreter is exiting: see released_lock.h
    } catch (...) {
      fault = std::current_exception();
      return stopped_error();
    }
  });
  if (fault) std::rethrow_exception(fault);
  if (!answer) {
    return ReadError::invalid_data("side files of a model in memory open on the calling thread");
  }
  return std::move(*answer);
}

ReadResult<FileStream> CallbackSideFiles::call(std::string_view name) {
  // Bytes that are not UTF-8 stay as they are, as the system's file names do in Python.
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape"));
  PyRef answer = text ? PyRef::steal(PyObject_CallOneArg(callable_, text.get())) : PyRef();
  if (!answer) {
    if (text && PyErr_ExceptionMatches(PyExc_OSError)) {
      PyRef exception = PyRef::steal(PyErr_GetRaisedException());
      return error_of(exception.get());
    }
    raised_.emplace(boundary::fetch_pending());
    return stopped_error();
  }
  auto view = std::make_unique<BufferView>();
  if (PyObject_CheckBuffer(answer.get()) == 0 || !view->acquire(answer.get())) {
    PyErr_Clear();
    raised_.emplace(
        wrong_type("side_files must return a C-contiguous bytes-like object", answer.get()));
    return stopped_error();
  }
  const std::span<const std::byte> bytes(static_cast<const std::byte*>(view->data()),
                                         view->bytes());
  held_.push_back(std::move(view));
  return FileStream::in_memory(bytes);
}

std::optional<PendingException> CallbackSideFiles::take_raised() {
  std::optional<PendingException> raised = std::move(raised_);
  raised_.reset();
  return raised;
}

}  // namespace vertisift::tools
