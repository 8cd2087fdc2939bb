#include "tools/spread_call.h"

#include <cmath>
#include <cstdint>
#include <optional>
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

std::size_t point_count(const SpreadArguments& arguments) {
  return arguments.points.bytes() / (3 * (arguments.wide ? sizeof(double) : sizeof(float)));
}

// k: an int in [0, m] for m points.
Conversion convert_k(PyObject* value, SpreadArguments& into) {
  if (into.points.bytes() % (3 * (into.wide ? sizeof(double) : sizeof(float))) != 0) {
    return value_error("points must hold whole triples");
  }
  auto number = to_integer(value, "k must be an int");
  if (!number.ok()) return std::move(number.error());
  PyObject* k = number.value().get();
  const std::size_t count = point_count(into);
  const std::optional<std::uint64_t> chosen = is_negative(k) ? std::nullopt : within_u64(k);
  if (!chosen || *chosen > count) {
    return value_error("k must be in [0, " + std::to_string(count) + "], not " +
                       boundary::text_of(k));
  }
  into.k = *chosen;
  return Converted{};
}

// start: when k > 0, an int in [0, m), the first point chosen.
Conversion convert_start(PyObject* value, SpreadArguments& into) {
  auto number = to_integer(value, "start must be an int");
  if (!number.ok()) return std::move(number.error());
  if (into.k == 0) return Converted{};
  PyObject* start = number.value().get();
  const std::size_t count = point_count(into);
  const std::optional<std::uint64_t> first = is_negative(start) ? std::nullopt : within_u64(start);
  if (!first || *first >= count) {
    return value_error("start must be in [0, " + std::to_string(count) + "), not " +
                       boundary::text_of(start));
  }
  into.start = *first;
  return Converted{};
}

constexpr Parameter<SpreadArguments> SPREAD_PARAMETERS[] = {
    {.name = "points",
     .convert = [](PyObject* value, SpreadArguments& into) -> Conversion {
       if (!into.points.acquire(value)) return boundary::fetch_pending();
       return Converted{};
     }},
    {.name = "double",
     .convert = [](PyObject* value,
                   SpreadArguments& into) { return store(to_bool(value), into.wide); }},
    {.name = "k", .convert = convert_k},
    {.name = "start", .convert = convert_start},
};
constexpr Signature<SpreadArguments> SPREAD_SIGNATURE = {
    .function = "farthest_point_sample",
    .positional = 1,
    .parameters = SPREAD_PARAMETERS,
};

Outcome<PyRef> farthest_point_sample_impl(const SpreadArguments& arguments) {
  const BufferView& points = arguments.points;
  const bool wide = arguments.wide;
  const std::size_t count = point_count(arguments);
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
