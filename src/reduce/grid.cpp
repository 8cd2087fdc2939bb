#include "reduce/grid.h"

#include <cmath>
#include <limits>

#include "parallel/thread_pool.h"

namespace vertisift::reduce {
namespace {

// Index along one axis. The order of operations is part of the result: the extent is
// rounded before the epsilon is added, and the quotient before it is scaled.
inline std::uint64_t axis_index(float value, float low, float high, std::uint64_t resolution,
                                float resolution_f) {
  const float offset = value - low;
  const float extent = (high - low) + GRID_EPSILON;
  const float fraction = offset / extent;
  const float scaled = fraction * resolution_f;
  const std::uint64_t index = to_u64_saturating(std::floor(scaled));
  // Points on the upper face land exactly on `resolution` once the epsilon has vanished in
  // the rounding; they belong to the last cell. For resolution 0 the bound wraps to 2^64 - 1.
  const std::uint64_t last = resolution - 1;
  return index < last ? index : last;
}

// Widens `box` to take in `other`. fminf and fmaxf give the same extremes in any grouping, so
// folding the points one by one and combining the partial boxes equals six separate
// reductions.
inline void widen(BoundingBox& box, const BoundingBox& other) {
  box.min_x = std::fmin(box.min_x, other.min_x);
  box.max_x = std::fmax(box.max_x, other.max_x);
  box.min_y = std::fmin(box.min_y, other.min_y);
  box.max_y = std::fmax(box.max_y, other.max_y);
  box.min_z = std::fmin(box.min_z, other.min_z);
  box.max_z = std::fmax(box.max_z, other.max_z);
}

}  // namespace

std::uint64_t to_u64_saturating(float value) {
  if (std::isnan(value) || value <= 0.0f) return 0;
  if (value >= 18446744073709551616.0f) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

BoundingBox compute_bounding_box(const PointList& points) {
  const float inf = std::numeric_limits<float>::infinity();
  const BoundingBox empty = {inf, -inf, inf, -inf, inf, -inf};
  // The six bounds are folded in one pass.
  return parallel::parallel_reduce(
      points.size(), empty,
      [&](BoundingBox& box, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const base::Point3& p = points[i].position;
          widen(box, {p.x, p.x, p.y, p.y, p.z, p.z});
        }
      },
      [](BoundingBox& left, BoundingBox&& right) { widen(left, right); });
}

std::uint64_t grid_resolution(std::uint64_t clusters) {
  const auto count = static_cast<float>(clusters);  // round to nearest, ties to even
  // A double-precision power rounded once to single precision is the correctly rounded
  // single-precision power for every count; powf itself is not required to be exact.
  const auto power =
      static_cast<float>(std::pow(static_cast<double>(count), double{CUBE_ROOT_EXPONENT}));
  return to_u64_saturating(std::ceil(power));
}

CellKey cell_key(const base::Point3& position, const BoundingBox& box, std::uint64_t resolution) {
  const auto resolution_f = static_cast<float>(resolution);  // exact: resolution <= 2^24
  const std::uint64_t ix = axis_index(position.x, box.min_x, box.max_x, resolution, resolution_f);
  const std::uint64_t iy = axis_index(position.y, box.min_y, box.max_y, resolution, resolution_f);
  const std::uint64_t iz = axis_index(position.z, box.min_z, box.max_z, resolution, resolution_f);
  return (iz * resolution + iy) * resolution + ix;
}

}  // namespace vertisift::reduce
