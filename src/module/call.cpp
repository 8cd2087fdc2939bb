#include "module/call.h"

#include <utility>

#include "base/interrupt.h"
#include "boundary/conversions.h"
#include "boundary/released_lock.h"

namespace vertisift::module {
namespace {

// The function's parameters, in order. Their names and every message below are fixed by
// compatibility and must stay exactly as written.
constexpr int PARAMETER_COUNT = 2;
constexpr const char* PARAMETER_NAMES[PARAMETER_COUNT] = {"file_path", "clusters"};
// Put before the display text of every read failure. Fixed by compatibility: it must stay
// exactly so, in Russian.
constexpr const char* READ_ERROR_PREFIX = "Ошибка чтения STL-файла: ";

PendingException type_error(std::string message) {
  return PendingException::deferred(PyExc_TypeError, std::move(message));
}

// A list of three floats, each the exact widening of a stored single-precision value.
PyRef point_list(const base::Point3& point) {
  PyRef list = checked(PyList_New(3));
  const float coordinates[3] = {point.x, point.y, point.z};
  for (Py_ssize_t axis = 0; axis < 3; ++axis) {
    PyRef value = checked(PyFloat_FromDouble(static_cast<double>(coordinates[axis])));
    PyList_SET_ITEM(list.get(), axis, value.release());
  }
  return list;
}

template <class Points>
PyRef points_list(const Points& points) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(points.size())));
  for (std::size_t i = 0; i < points.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), point_list(points[i]).release());
  }
  return list;
}

// The most items a list can hold: asking for more can never be answered.
constexpr std::uint64_t MAX_RESULT_POINTS =
    static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*);

Outcome<PyRef> call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto arguments = extract_arguments(args, nargs, kwnames);
  if (!arguments.ok()) return std::move(arguments.error());
  auto path = to_path(arguments.value().file_path);
  if (!path.ok()) return std::move(path.error());
  auto clusters = to_count(arguments.value().clusters);
  if (!clusters.ok()) return std::move(clusters.error());

  // A read that blocks (a FIFO) stops when a signal handler raises, with that exception.
  base::InterruptCheck signals(boundary::handlers_raised, nullptr);
  reduce::ReduceOutcome outcome =
      reduce::reduce_stl_points(path.value(), clusters.value(), MAX_RESULT_POINTS);
  path = Outcome<mesh_io::PathText>(mesh_io::PathText{});  // the path text is done with
  if (signals.stopped()) return fetch_pending();
  if (!outcome.ok()) {
    return boundary::read_error(outcome.error(), READ_ERROR_PREFIX, nullptr);
  }
  return to_python_result(outcome.value());
}

}  // namespace

PyObject* reduce_stl_points_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return entry_guard([&] { return call(args, nargs, kwnames); });
}

Outcome<Arguments> extract_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[PARAMETER_COUNT] = {nullptr, nullptr};
  if (args != nullptr) {
    for (Py_ssize_t i = 0; i < std::min<Py_ssize_t>(nargs, PARAMETER_COUNT); ++i) {
      slots[i] = args[i];
    }
  }
  if (nargs > PARAMETER_COUNT) {
    return type_error("reduce_stl_points() takes 2 positional arguments but " +
                      std::to_string(nargs) + " were given");
  }
  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      PyObject* value = args[nargs + k];
      int parameter = -1;
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(key, &size);
      if (text == nullptr) {
        PyErr_Clear();  // not UTF-8: cannot be a parameter name
      } else {
        const std::string_view name(text, static_cast<std::size_t>(size));
        for (int p = 0; p < PARAMETER_COUNT; ++p) {
          if (name == PARAMETER_NAMES[p]) parameter = p;
        }
      }
      if (parameter < 0) {
        return type_error("reduce_stl_points() got an unexpected keyword argument '" +
                          boundary::text_of(key) + "'");
      }
      if (slots[parameter] != nullptr) {
        return type_error(std::string("reduce_stl_points() got multiple values for argument '") +
                          PARAMETER_NAMES[parameter] + "'");
      }
      slots[parameter] = value;
    }
  }
  if (nargs < PARAMETER_COUNT) {
    std::string names;
    int missing = 0;
    for (int p = static_cast<int>(nargs); p < PARAMETER_COUNT; ++p) {
      if (slots[p] != nullptr) continue;
      if (missing > 0) names += " and ";
      names += std::string("'") + PARAMETER_NAMES[p] + "'";
      ++missing;
    }
    if (missing > 0) {
      return type_error("reduce_stl_points() missing " + std::to_string(missing) +
                        " required positional " + (missing == 1 ? "argument" : "arguments") + ": " +
                        names);
    }
  }
  return Arguments{slots[0], slots[1]};
}

Outcome<mesh_io::PathText> to_path(PyObject* file_path) {
  PyRef path = PyRef::steal(PyOS_FSPath(file_path));
  if (!path) return argument_error("file_path", fetch_pending());
  auto text = boundary::path_text(path.get());
  if (!text.ok()) return argument_error("file_path", std::move(text.error()));
  return std::move(text.value());
}

Outcome<unsigned long long> to_count(PyObject* clusters) {
  auto count = boundary::to_u64(clusters);
  if (!count.ok()) return argument_error("clusters", std::move(count.error()));
  return static_cast<unsigned long long>(count.value());
}

PendingException argument_error(const char* name, PendingException error) {
  if (error.type() != PyExc_TypeError) return error;
  const std::string message = std::string("argument '") + name + "': " + error.text();
  PyRef cause;
  if (PyObject* original = error.object()) cause = PyRef::steal(PyException_GetCause(original));
  if (!cause) return type_error(message);
  PyRef text =
      checked(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  PyRef replacement = checked(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  PyException_SetCause(replacement.get(), cause.release());
  return PendingException::fetched(std::move(replacement));
}

PyRef to_python_result(const reduce::ReducedPoints& points) {
  PyRef positions = points_list(points.positions);
  PyRef normals = points_list(points.normals);
  PyRef result = checked(PyTuple_New(2));
  PyTuple_SET_ITEM(result.get(), 0, positions.release());
  PyTuple_SET_ITEM(result.get(), 1, normals.release());
  return result;
}

}  // namespace vertisift::module
