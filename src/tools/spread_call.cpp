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
#include "tools/arguments.h"
#include "tools/buffer_view.h"
#include "tools/sample_call.h"

namespace vertisift::tools {
namespace {

using boundary::Outcome;
using boundary::PendingException;
using boundary::PyRef;

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

struct SpreadArguments {
  BufferView points;
  std::uint64_t k = 0;
  bool wide = false;  // float64 coordinates
  std::uint64_t start = 0;
};

constexpr Parameter<SpreadArguments> SPREAD_PARAMETERS[] = {
    {.name = "points",
     .convert = [](PyObject* value, SpreadArguments& into) -> Conversion {
       if (!into.points.acquire(value)) return boundary::fetch_pending();
       return Converted{};
     }},
    {.name = "k",
     .convert = [](PyObject* value,
                   SpreadArguments& into) { return store(boundary::to_u64(value), into.k); }},
    {.name = "double",
     .convert = [](PyObject* value,
                   SpreadArguments& into) { return store(to_bool(value), into.wide); }},
    {.name = "start",
     .convert = [](PyObject* value,
                   SpreadArguments& into) { return store(boundary::to_u64(value), into.start); }},
};
constexpr Signature<SpreadArguments> SPREAD_SIGNATURE = {
    .function = "farthest_point_sample",
    .positional = 2,
    .parameters = SPREAD_PARAMETERS,
};

Outcome<PyRef> farthest_point_sample_impl(const SpreadArguments& arguments) {
  const BufferView& points = arguments.points;
  const bool wide = arguments.wide;
  const std::size_t triple = 3 * (wide ? sizeof(double) : sizeof(float));
  // The package checks these in its own words before it calls; they stand here too because
  // the tree would read past the points without them.
  if (points.bytes() % triple != 0) return value_error("points must hold whole triples");
  const std::size_t count = points.bytes() / triple;
  if (arguments.k > count) return value_error("k is more than the number of points");
  if (arguments.k > 0 && arguments.start >= count) {
    return value_error("start is not a point's index");
  }
  if (count > UINT32_MAX)
    return value_error("farthest-point sampling takes at most 2**32 - 1 points");
  const std::size_t tree_bytes =
      wide ? spread::TREE_BYTES_PER_POINT<double> : spread::TREE_BYTES_PER_POINT<float>;
  if (count > physical_memory() / 2 / tree_bytes) {
    return PendingException::deferred(PyExc_MemoryError, "cannot hold the farthest-point tree of " +
                                                             std::to_string(count) + " points");
  }

  PyRef result = boundary::checked(PyByteArray_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(arguments.k * sizeof(std::uint64_t))));
  const std::span<std::uint64_t> chosen(
      reinterpret_cast<std::uint64_t*>(PyByteArray_AS_STRING(result.get())), arguments.k);
  bool interrupted = false;
  const std::string refusal = boundary::without_interpreter_lock(interrupted, [&] {
    const auto first = static_cast<std::size_t>(arguments.start);
    return wide ? sample_points<double>(points, first, chosen)
                : sample_points<float>(points, first, chosen);
  });
  if (interrupted) return boundary::fetch_pending();
  if (!refusal.empty()) return PendingException::deferred(PyExc_ValueError, refusal);
  return result;
}

Outcome<PyRef> farthest_point_sample(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  SpreadArguments arguments;
  Conversion bound = bind(SPREAD_SIGNATURE, args, nargs, kwnames, arguments);
  if (!bound.ok()) return std::move(bound.error());
  return farthest_point_sample_impl(arguments);
}

}  // namespace

PyObject* farthest_point_sample_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return boundary::guard<SpreadFaults>([&] { return farthest_point_sample(args, nargs, kwnames); });
}

}  // namespace vertisift::tools
