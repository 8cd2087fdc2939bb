#include "rays/visibility.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "parallel/thread_pool.h"

namespace vertisift::rays {

std::vector<base::Point3> view_directions(std::size_t count) {
  std::vector<base::Point3> directions(count);
  if (count == 0) return directions;
  const double golden_angle = M_PI * (3.0 - std::sqrt(5.0));
  // A fixed rotation: about the axis (1, 1, 1) by 0.185 radians, which keeps each of the 64
  // default directions at least 1.9 degrees off every plane of the axes (turned by one radian
  // about (1, 2, 3), one came within 0.1 degrees of the xy-plane).
  const double ux = 1.0 / std::sqrt(3.0), uy = ux, uz = ux;
  const double angle = 0.185;
  const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
  const double rotation[3][3] = {
      {t * ux * ux + c, t * ux * uy - s * uz, t * ux * uz + s * uy},
      {t * ux * uy + s * uz, t * uy * uy + c, t * uy * uz - s * ux},
      {t * ux * uz - s * uy, t * uy * uz + s * ux, t * uz * uz + c},
  };
  // The stride through the set: the integer nearest count / golden ratio that is prime to it.
  std::size_t stride = std::max<std::size_t>(
      1, static_cast<std::size_t>(std::lround(static_cast<double>(count) * 0.6180339887498949)));
  while (std::gcd(stride, count) != 1) --stride;
  for (std::size_t j = 0; j < count; ++j) {
    const std::size_t i = (j * stride) % count;
    const double z = 1.0 - (2.0 * static_cast<double>(i) + 1.0) / static_cast<double>(count);
    const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
    const double longitude = golden_angle * static_cast<double>(i);
    const double p[3] = {r * std::cos(longitude), r * std::sin(longitude), z};
    double q[3];
    for (int row = 0; row < 3; ++row) {
      q[row] = rotation[row][0] * p[0] + rotation[row][1] * p[1] + rotation[row][2] * p[2];
    }
    const double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2]);
    directions[j] = {static_cast<float>(q[0] / length), static_cast<float>(q[1] / length),
                     static_cast<float>(q[2] / length)};
  }
  return directions;
}

float origin_clearance(const TriangleBvh& bvh) {
  const base::Point3 lo = bvh.lower(), hi = bvh.upper();
  const float scale = std::max({std::fabs(lo.x), std::fabs(lo.y), std::fabs(lo.z), std::fabs(hi.x),
                                std::fabs(hi.y), std::fabs(hi.z)});
  // 2^-16 of the scale: 256 units in the last place of the largest coordinate.
  return scale * 0x1.0p-16f;
}

void first_clear_directions(const TriangleBvh& bvh, std::span<const base::Point3> origins,
                            std::span<const std::uint32_t> ignored,
                            std::span<const base::Point3> directions, float t_min,
                            std::span<std::uint32_t> first) {
  // The points in the Morton order of their cells, so that rays cast one after the other
  // start near each other and find the tree's nodes in the cache; each answer is its point's
  // alone, whatever the order.
  const base::Point3 lo = bvh.lower(), hi = bvh.upper();
  const float scale[3] = {1024.0f / std::max(hi.x - lo.x, 1e-30f),
                          1024.0f / std::max(hi.y - lo.y, 1e-30f),
                          1024.0f / std::max(hi.z - lo.z, 1e-30f)};
  std::vector<std::pair<std::uint32_t, std::uint32_t>> order(origins.size());
  for (std::size_t i = 0; i < origins.size(); ++i) {
    const float at[3] = {(origins[i].x - lo.x) * scale[0], (origins[i].y - lo.y) * scale[1],
                         (origins[i].z - lo.z) * scale[2]};
    std::uint32_t code = 0;
    for (int axis = 0; axis < 3; ++axis) {
      // Cells 0 ... 1023 along each axis; NaN and what lies outside go to the ends.
      const auto cell =
          static_cast<std::uint32_t>(at[axis] > 0.0f ? std::min(at[axis], 1023.0f) : 0.0f);
      for (int bit = 0; bit < 10; ++bit) code |= ((cell >> bit) & 1u) << (3 * bit + axis);
    }
    order[i] = {code, static_cast<std::uint32_t>(i)};
  }
  std::sort(order.begin(), order.end());
  parallel::parallel_for(origins.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
      const std::size_t i = order[j].second;
      const std::uint32_t skip = ignored.empty() ? NO_FACE : ignored[i];
      std::uint32_t seen = NOT_SEEN;
      for (std::size_t k = 0; k < directions.size(); ++k) {
        const Ray ray{.origin = origins[i], .direction = directions[k], .t_min = t_min};
        if (!bvh.occluded(ray, skip)) {
          seen = static_cast<std::uint32_t>(k);
          break;
        }
      }
      first[i] = seen;
    }
  });
}

}  // namespace vertisift::rays
