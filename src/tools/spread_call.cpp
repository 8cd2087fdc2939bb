#include "tools/spread_call.h"

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "boundary/conversions.h"
#include "boundary/guard.h"
#include "boundary/released_lock.h"
#include "spread/farthest_point.h"
#include "tools/buffer_view.h"
#include "tools/sample_call.h"

namespace vertisift::tools {
namespace {

using boundary::Outcome;
using boundary::PendingException;
using boundary::PyRef;

constexpr Py_ssize_t ARGUMENTS = 4;

// The index of the first coordinate that is NaN or infinite, or the count when none is.
template <class T>
std::size_t first_not_finite(std::span<const T> coordinates) {
  for (std::size_t i = 0; i < coordinates.size(); ++i) {
    if (!std::isfinite(coordinates[i])) return i;
  }
  return coordinates.size();
}

template <class T>
std::string sample_points(const BufferView& view, std::size_t start,
                          std::span<std::uint64_t> chosen) {
  const std::span<const T> coordinates(static_cast<const T*>(view.data()),
                                       view.bytes() / sizeof(T));
  const std::size_t bad = first_not_finite(coordinates);
  if (bad != coordinates.size()) {
    return "points[" + std::to_string(bad / 3) + "] has a coordinate that is not finite";
  }
  spread::farthest_point_sample<T>(coordinates, start, chosen);
  return {};
}

Outcome<PyRef> farthest_point_sample(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != ARGUMENTS) {
    return PendingException::deferred(
        PyExc_TypeError, "farthest_point_sample() takes exactly 4 positional arguments");
  }
  BufferView points;
  if (!points.acquire(args[0])) return boundary::fetch_pending();
  const int wide = PyObject_IsTrue(args[1]);
  if (wide < 0) return boundary::fetch_pending();
  auto k = boundary::to_u64(args[2]);
  if (!k.ok()) return std::move(k.error());
  auto start = boundary::to_u64(args[3]);
  if (!start.ok()) return std::move(start.error());

  const std::size_t triple = 3 * (wide != 0 ? sizeof(double) : sizeof(float));
  if (points.bytes() % triple != 0) return value_error("points must hold whole triples");
  const std::size_t count = points.bytes() / triple;
  if (count > UINT32_MAX)
    return value_error("farthest-point sampling takes at most 2**32 - 1 points");
  if (k.value() > count) return value_error("k is more than the number of points");
  if (k.value() > 0 && start.value() >= count) return value_error("start is not a point's index");
  const std::size_t tree_bytes =
      wide != 0 ? spread::TREE_BYTES_PER_POINT<double> : spread::TREE_BYTES_PER_POINT<float>;
  if (count > physical_memory() / 2 / tree_bytes) {
    return PendingException::deferred(PyExc_MemoryError, "cannot hold the farthest-point tree of " +
                                                             std::to_string(count) + " points");
  }

  PyRef result = boundary::checked(PyByteArray_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(k.value() * sizeof(std::uint64_t))));
  const std::span<std::uint64_t> chosen(
      reinterpret_cast<std::uint64_t*>(PyByteArray_AS_STRING(result.get())), k.value());
  bool interrupted = false;
  const std::string refusal = boundary::without_interpreter_lock(interrupted, [&] {
    const auto first = static_cast<std::size_t>(start.value());
    return wide != 0 ? sample_points<double>(points, first, chosen)
                     : sample_points<float>(points, first, chosen);
  });
  if (interrupted) return boundary::fetch_pending();
  if (!refusal.empty()) return PendingException::deferred(PyExc_ValueError, refusal);
  return result;
}

}  // namespace

PyObject* farthest_point_sample_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary::guard<SpreadFaults>([&] { return farthest_point_sample(args, nargs); });
}

}  // namespace vertisift::tools
