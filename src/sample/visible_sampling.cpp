#include "sample/visible_sampling.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/pod_vector.h"
#include "rays/visibility.h"

namespace vertisift::sample {
namespace {

rays::TriangleMesh triangles_of(const mesh_io::Mesh& mesh) {
  static_assert(sizeof(mesh_io::Triangle) == 3 * sizeof(std::uint32_t),
                "a triangle is read as three indices");
  const std::span<const base::Point3> positions(mesh.positions.data(), mesh.positions.size());
  if (mesh.loose_corners) return {positions, {}, true};
  return {positions, std::span<const std::uint32_t>(
                         reinterpret_cast<const std::uint32_t*>(mesh.triangles.data()),
                         3 * mesh.triangles.size())};
}

// `normal` turned, if need be, to the side of `direction`.
base::Point3 facing(const base::Point3& normal, const base::Point3& direction) {
  const double dot = double{normal.x} * direction.x + double{normal.y} * direction.y +
                     double{normal.z} * direction.z;
  if (dot >= 0.0) return normal;
  return {-normal.x, -normal.y, -normal.z};
}

std::uint64_t round_up(std::uint64_t value, std::uint64_t step) {
  return (value + step - 1) / step * step;
}

}  // namespace

Viewer::Viewer(const mesh_io::Mesh& mesh, std::uint32_t view_directions, bool turn)
    : bvh(triangles_of(mesh), rays::BuildQuality::Morton),
      directions(rays::view_directions(view_directions)),
      clearance(rays::origin_clearance(bvh)),
      outward(turn) {}

VisibleDraw draw_visible_points(const mesh_io::Mesh& mesh, std::span<const double> cumulative,
                                double total, NormalSource source, const random::SampleKey& key,
                                const SurfaceOutput& out,
                                std::span<const base::Point3> face_normals,
                                std::span<const FaceCorners> corners, const Viewer& viewer) {
  const std::uint64_t count = out.positions.size();
  constexpr std::uint64_t ROUND_STEP = 64;
  constexpr std::uint64_t MIN_ROUND = 1024;
  constexpr std::uint64_t MAX_ROUND = std::uint64_t{1} << 22;
  const std::uint64_t limit = VISIBLE_DRAW_FLOOR + VISIBLE_DRAW_FACTOR * count;
  base::PodVector<base::Point3> positions, normals;
  base::PodVector<std::uint64_t> faces;
  base::PodVector<CornerWeights> weights;
  base::PodVector<std::uint32_t> ignored, first;
  VisibleDraw draw;
  std::uint64_t kept = 0;
  while (kept < count) {
    if (draw.drawn >= limit || (draw.seen == 0 && draw.drawn >= VISIBLE_DRAW_FLOOR)) return draw;
    // Enough for what is left at the share seen so far, and a margin.
    const std::uint64_t left = count - kept;
    std::uint64_t round = left + left / 8;
    if (draw.seen > 0) {
      round =
          static_cast<std::uint64_t>(static_cast<double>(round) * static_cast<double>(draw.drawn) /
                                     static_cast<double>(draw.seen));
    } else if (draw.drawn > 0) {
      round = draw.drawn * 4;
    }
    // Never far past the point where the draw would give up.
    const std::uint64_t until = draw.seen == 0 ? VISIBLE_DRAW_FLOOR : limit;
    round = std::min(round, until - draw.drawn);
    round = round_up(std::clamp(round, MIN_ROUND, MAX_ROUND), ROUND_STEP);
    const auto size = static_cast<std::size_t>(round);
    positions.resize_zeroed(size);
    normals.resize_zeroed(size);
    faces.resize_zeroed(size);
    weights.resize_zeroed(out.weights.empty() ? 0 : size);
    ignored.resize_zeroed(size);
    first.resize_zeroed(size);
    draw_surface_points(mesh, cumulative, total, source, key,
                        {std::span<base::Point3>(positions.data(), size),
                         std::span<base::Point3>(normals.data(), size),
                         std::span<std::uint64_t>(faces.data(), size),
                         std::span<CornerWeights>(weights.data(), weights.size())},
                        face_normals, corners, draw.drawn);
    for (std::size_t i = 0; i < size; ++i) ignored[i] = static_cast<std::uint32_t>(faces[i]);
    rays::first_clear_directions(viewer.bvh, std::span<const base::Point3>(positions.data(), size),
                                 std::span<const std::uint32_t>(ignored.data(), size),
                                 viewer.directions, viewer.clearance,
                                 std::span<std::uint32_t>(first.data(), size));
    for (std::size_t i = 0; i < size; ++i) {
      if (first[i] == rays::NOT_SEEN) continue;
      ++draw.seen;
      if (kept == count) continue;
      const auto at = static_cast<std::size_t>(kept++);
      out.positions[at] = positions[i];
      out.normals[at] =
          viewer.outward ? facing(normals[i], viewer.directions[first[i]]) : normals[i];
      out.faces[at] = faces[i];
      if (!out.weights.empty()) out.weights[at] = weights[i];
    }
    draw.drawn += round;
  }
  draw.complete = true;
  return draw;
}

std::vector<std::uint32_t> visible_points(reduce::PointList& points, const Viewer& viewer,
                                          bool turn) {
  base::PodVector<base::Point3> origins;
  base::PodVector<std::uint32_t> first;
  origins.resize_zeroed(points.size());
  first.resize_zeroed(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) origins[i] = points[i].position;
  rays::first_clear_directions(
      viewer.bvh, std::span<const base::Point3>(origins.data(), origins.size()), {},
      viewer.directions, viewer.clearance, std::span<std::uint32_t>(first.data(), first.size()));
  std::vector<std::uint32_t> seen;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (first[i] == rays::NOT_SEEN) continue;
    seen.push_back(static_cast<std::uint32_t>(i));
    if (turn) points[i].normal = facing(points[i].normal, viewer.directions[first[i]]);
  }
  return seen;
}

base::PodVector<mesh_io::Triangle> oriented_triangles(std::span<const base::Point3> vertices,
                                                      std::span<const mesh_io::Triangle> triangles,
                                                      const Viewer& viewer) {
  const std::size_t count = triangles.size();
  base::PodVector<mesh_io::Triangle> oriented;
  base::PodVector<base::Point3> centres;
  base::PodVector<std::uint32_t> faces, first;
  oriented.append(triangles.data(), count);
  centres.resize_zeroed(count);
  faces.resize_zeroed(count);
  first.resize_zeroed(count);
  for (std::size_t f = 0; f < count; ++f) {
    const base::Point3& a = vertices[triangles[f].corners[0]];
    const base::Point3& b = vertices[triangles[f].corners[1]];
    const base::Point3& c = vertices[triangles[f].corners[2]];
    centres[f] = {static_cast<float>((double{a.x} + b.x + c.x) / 3.0),
                  static_cast<float>((double{a.y} + b.y + c.y) / 3.0),
                  static_cast<float>((double{a.z} + b.z + c.z) / 3.0)};
    faces[f] = static_cast<std::uint32_t>(f);
  }
  rays::first_clear_directions(viewer.bvh, std::span<const base::Point3>(centres.data(), count),
                               std::span<const std::uint32_t>(faces.data(), count),
                               viewer.directions, viewer.clearance,
                               std::span<std::uint32_t>(first.data(), count));
  for (std::size_t f = 0; f < count; ++f) {
    if (first[f] == rays::NOT_SEEN) continue;
    const base::Point3 normal =
        geometric_normal(vertices[triangles[f].corners[0]], vertices[triangles[f].corners[1]],
                         vertices[triangles[f].corners[2]]);
    const base::Point3& d = viewer.directions[first[f]];
    if (double{normal.x} * d.x + double{normal.y} * d.y + double{normal.z} * d.z < 0.0) {
      std::swap(oriented[f].corners[1], oriented[f].corners[2]);
    }
  }
  return oriented;
}

}  // namespace vertisift::sample
