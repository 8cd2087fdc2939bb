#include "tools/sample_call.h"

#include <unistd.h>

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "module/py_ref.h"
#include "module/released_lock.h"
#include "sample/sampling.h"

namespace vertisift::tools {
namespace {

using module::PyRef;

constexpr Py_ssize_t ARGUMENT_COUNT = 6;
constexpr std::size_t BYTES_PER_POINT = 3 * sizeof(float);

PyObject* raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return nullptr;
}

// An integer argument in [0, 2^64), or nullopt with TypeError (not an int), ValueError
// (negative) or OverflowError (2^64 or more) set.
std::optional<std::uint64_t> to_unsigned(PyObject* value, const char* name) {
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  int overflow = 0;
  const long long as_signed = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (as_signed == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow < 0 || (overflow == 0 && as_signed < 0)) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
    return std::nullopt;
  }
  const unsigned long long result = PyLong_AsUnsignedLongLong(value);
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return result;
}

// The memory the machine has: results larger than that can never be made.
std::uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

// OSError(errno or None, the reader's message, filename): an operating-system error takes
// its subclass (FileNotFoundError, ...) from the code.
PyObject* raise_read_error(const mesh_io::ReadError& error, PyObject* filename) {
  const std::string message = error.display();
  PyRef code = error.kind == mesh_io::ReadErrorKind::Os
                   ? PyRef::steal(PyLong_FromLong(error.os_code))
                   : PyRef::borrow(Py_None);
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!code || !text) return nullptr;
  PyRef arguments = PyRef::steal(PyTuple_Pack(3, code.get(), text.get(), filename));
  if (!arguments) return nullptr;
  PyRef exception = PyRef::steal(PyObject_Call(PyExc_OSError, arguments.get(), nullptr));
  if (!exception) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

PyObject* sample(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != ARGUMENT_COUNT) {
    return raise(PyExc_TypeError, "sample() takes exactly 6 positional arguments");
  }
  PyRef filename = PyRef::steal(PyOS_FSPath(args[0]));
  if (!filename) return nullptr;
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(filename.get(), &encoded)) return nullptr;
  PyRef path_bytes = PyRef::steal(encoded);
  const auto count = to_unsigned(args[1], "n");
  if (!count) return nullptr;
  const auto method = to_unsigned(args[2], "method");
  if (!method) return nullptr;
  const auto normals = to_unsigned(args[4], "normals");
  if (!normals) return nullptr;
  if (*method > 1) return raise(PyExc_ValueError, "unknown sampling method");
  if (*normals > 2) return raise(PyExc_ValueError, "unknown normals mode");
  const int distinct = PyObject_IsTrue(args[5]);
  if (distinct < 0) return nullptr;

  sample::SampleOptions options;
  options.method = *method == 0 ? sample::SampleMethod::Vertices : sample::SampleMethod::Surface;
  options.normals = *normals == 0   ? sample::NormalSource::File
                    : *normals == 1 ? sample::NormalSource::Geometry
                                    : sample::NormalSource::Auto;
  options.distinct = distinct != 0;
  if (args[3] != Py_None) {
    const auto seed = to_unsigned(args[3], "seed");
    if (!seed) return nullptr;
    options.key = random::derive_sample_key(*seed);
  }

  // The result's size is checked before anything is allocated: more than the machine's
  // memory can never be answered.
  if (*count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / BYTES_PER_POINT ||
      *count * BYTES_PER_POINT > physical_memory() / 2) {
    return PyErr_NoMemory();
  }
  const auto bytes = static_cast<Py_ssize_t>(*count * BYTES_PER_POINT);
  PyRef positions = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, bytes));
  if (!positions) return nullptr;
  PyRef normal_bytes = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, bytes));
  if (!normal_bytes) return nullptr;
  // bytearray storage comes from the interpreter's allocator, aligned for any scalar type.
  const std::span<base::Point3> position_span(
      reinterpret_cast<base::Point3*>(PyByteArray_AS_STRING(positions.get())), *count);
  const std::span<base::Point3> normal_span(
      reinterpret_cast<base::Point3*>(PyByteArray_AS_STRING(normal_bytes.get())), *count);
  const mesh_io::PathText path(
      std::string(PyBytes_AS_STRING(path_bytes.get()),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(path_bytes.get()))));

  // The driver sees plain values and the two buffers, which no other code can reach yet.
  const bool need_key = args[3] == Py_None;
  bool interrupted = false;
  const sample::SampleOutcome outcome = module::without_interpreter_lock(interrupted, [&] {
    if (need_key) options.key = random::os_sample_key();
    return sample::sample_stl(path, *count, options, position_span, normal_span);
  });
  if (interrupted) return nullptr;  // a signal handler raised: its exception is pending

  if (std::holds_alternative<sample::NoArea>(outcome)) {
    return raise(PyExc_ValueError, sample::NO_AREA_MESSAGE);
  }
  if (const auto* error = std::get_if<mesh_io::ReadError>(&outcome)) {
    return raise_read_error(*error, filename.get());
  }
  if (std::get<std::uint64_t>(outcome) == 0 && *count != 0) {
    if (PyByteArray_Resize(positions.get(), 0) < 0) return nullptr;
    if (PyByteArray_Resize(normal_bytes.get(), 0) < 0) return nullptr;
  }
  return PyTuple_Pack(2, positions.get(), normal_bytes.get());
}

}  // namespace

PyObject* sample_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  // The one place where C++ failures become Python exceptions: an exhausted allocator is
  // MemoryError, any other internal fault a RuntimeError with its message.
  try {
    return sample(args, nargs);
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended at interpreter exit: let it go
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& fault) {
    PyErr_Format(PyExc_RuntimeError, "internal error in sample(): %s", fault.what());
    return nullptr;
  } catch (...) {
    return raise(PyExc_RuntimeError, "internal error in sample()");
  }
}

}  // namespace vertisift::tools
