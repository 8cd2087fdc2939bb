// The ray tree against every triangle tried in turn, over small meshes and rays that the input
// spells: the first byte gives the vertex count, then 12 bytes per vertex (three floats, any
// bits: NaN, infinities, denormals and repeated corners included), then three bytes per
// triangle (indices taken modulo the vertex count) up to the first 0xff, and 28 bytes per ray
// (origin, direction, t_min) after it. The closest hit's distance and the any-hit answer must
// be the brute force's for every ray, and the visibility pass must agree with the any-hit
// query along each direction.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "parallel/thread_pool.h"
#include "rays/triangle_bvh.h"
#include "rays/visibility.h"

using vertisift::base::Point3;
using namespace vertisift::rays;

namespace {

// A coordinate: NaN and infinities as they come (the tree leaves their triangles out), finite
// values brought into [-256, 256], those under 2^-8 in magnitude to 0. The tree answers as
// the brute force does for coordinates of one scale; across 2^60 of them its boxes and the
// triangle test round apart, as any two tests in floats would.
float take_float(const std::uint8_t*& at) {
  float value;
  std::memcpy(&value, at, sizeof value);
  at += sizeof value;
  if (!std::isfinite(value)) return value;
  if (std::fabs(value) < 0x1.0p-8f) return 0.0f;
  return std::clamp(value, -256.0f, 256.0f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t* at = data;
  const std::uint8_t* end = data + size;
  const std::size_t vertex_count = 1 + (*at++ & 0x7f) % 24;
  if (static_cast<std::size_t>(end - at) < 12 * vertex_count) return 0;
  std::vector<Point3> positions;
  for (std::size_t v = 0; v < vertex_count; ++v) {
    const float x = take_float(at), y = take_float(at), z = take_float(at);
    positions.push_back({x, y, z});
  }
  std::vector<std::uint32_t> corners;
  while (end - at >= 3 && *at != 0xff && corners.size() < 3 * 64) {
    for (int k = 0; k < 3; ++k) corners.push_back(static_cast<std::uint32_t>(*at++ % vertex_count));
  }
  if (at < end && *at == 0xff) ++at;
  // Everything on this thread, as the other fast targets run.
  const vertisift::parallel::SequentialPasses alone(true);
  const TriangleMesh mesh{positions, corners};
  // Both builds: the first input byte's top bit picks one.
  const TriangleBvh bvh(mesh, data[0] & 0x80 ? BuildQuality::Morton : BuildQuality::Sah);
  std::vector<Point3> origins;
  std::vector<std::uint32_t> ignored;
  while (end - at >= 28) {
    Ray ray;
    ray.origin = {take_float(at), take_float(at), take_float(at)};
    ray.direction = {take_float(at), take_float(at), take_float(at)};
    ray.t_min = take_float(at);
    Hit best;
    for (std::size_t f = 0; f < corners.size() / 3; ++f) {
      const TriangleBvh::Triangle triangle{positions[corners[3 * f]], positions[corners[3 * f + 1]],
                                           positions[corners[3 * f + 2]],
                                           static_cast<std::uint32_t>(f)};
      // The tree leaves out triangles with a corner that is not finite.
      bool finite_corners = true;
      for (const Point3* p : {&triangle.a, &triangle.b, &triangle.c}) {
        finite_corners =
            finite_corners && std::isfinite(p->x) && std::isfinite(p->y) && std::isfinite(p->z);
      }
      if (!finite_corners) continue;
      const Hit hit = intersect_triangle(ray, triangle);
      if (hit.face != NO_FACE && hit.t < best.t) best = hit;
    }
    const Hit found = bvh.closest(ray);
    const bool same_t = found.t == best.t || (std::isnan(found.t) && std::isnan(best.t));
    if (!same_t || (found.face == NO_FACE) != (best.face == NO_FACE)) std::abort();
    if (bvh.occluded(ray) != (best.face != NO_FACE)) std::abort();
    origins.push_back(ray.origin);
    ignored.push_back(NO_FACE);
  }
  // The visibility pass asks the same any-hit question along each direction.
  const std::vector<Point3> directions = view_directions(3);
  std::vector<std::uint32_t> first(origins.size());
  first_clear_directions(bvh, origins, ignored, directions, 0.0f, first);
  for (std::size_t i = 0; i < origins.size(); ++i) {
    std::uint32_t expected = NOT_SEEN;
    for (std::uint32_t k = 0; k < directions.size() && expected == NOT_SEEN; ++k) {
      if (!bvh.occluded({origins[i], directions[k], 0.0f})) expected = k;
    }
    if (first[i] != expected) std::abort();
  }
  return 0;
}
