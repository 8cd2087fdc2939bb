// Sampling only what is seen from outside: surface points drawn uniformly over the visible
// part of the surface, and the visible vertices.
//
// Design: a surface point is drawn as the plain surface sample draws it (each point a pure
// function of the key and its index, surface_sampling.h), then kept when it is seen
// (rays/visibility.h). Points are drawn in rounds of consecutive indices, each round's rays
// cast on the pool, and the first `count` points seen, in index order, are the sample: a
// uniform sample conditioned on being seen is uniform over what is seen, and the result is
// the same however the rounds fall and whatever the pool's size. A round is sized from the
// share seen so far. A point's own face never hides it; hits closer than
// rays::origin_clearance do not count.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "base/pod_vector.h"
#include "base/point3.h"
#include "mesh_io/mesh.h"
#include "random/seeded_rng.h"
#include "rays/triangle_bvh.h"
#include "reduce/point_with_normal.h"
#include "sample/face_normals.h"
#include "sample/surface_sampling.h"

namespace vertisift::sample {

// What a visible sample sees the mesh with: the ray tree over its triangles (built in Morton
// order: a sample casts a few rays per point, far fewer than there are triangles, and the
// build is most of the cost) and the view directions. With `outward`, each point's normal is turned
// to the side of the first direction that sees it.
struct Viewer {
  rays::TriangleBvh bvh;
  std::vector<base::Point3> directions;
  float clearance;
  bool outward;
  Viewer(const mesh_io::Mesh& mesh, std::uint32_t view_directions, bool outward);
};

// The visible draw: how many points it drew to find those it kept (`drawn`), and how many of
// them it found seen (`seen`, at least the count when it succeeded).
struct VisibleDraw {
  std::uint64_t drawn = 0;
  std::uint64_t seen = 0;
  bool complete = false;
};

// A draw gives up, short of its count, after this many points with none seen, or after
// VISIBLE_DRAW_FACTOR times its count plus that many.
inline constexpr std::uint64_t VISIBLE_DRAW_FLOOR = std::uint64_t{1} << 20;
inline constexpr std::uint64_t VISIBLE_DRAW_FACTOR = 1024;

// Fills `out` as draw_surface_points would, with the points of the key's sequence that are
// seen. `out.faces` must not be empty.
VisibleDraw draw_visible_points(const mesh_io::Mesh& mesh, std::span<const double> cumulative,
                                double total, NormalSource source, const random::SampleKey& key,
                                const SurfaceOutput& out,
                                std::span<const base::Point3> face_normals,
                                std::span<const FaceCorners> corners, const Viewer& viewer);

// The indices of the points seen, in order; with `turn`, their normals turned to the side of
// the first direction that sees them.
std::vector<std::uint32_t> visible_points(reduce::PointList& points, const Viewer& viewer,
                                          bool turn);

// The triangles (indices into `vertices`, in the mesh's order), each one seen from outside
// wound so that its normal faces the side it is seen from: the side of the first direction
// that sees its centre. Triangles not seen keep their winding. A vertex's normal summed over
// these faces points out of a closed model however its faces were wound.
base::PodVector<mesh_io::Triangle> oriented_triangles(std::span<const base::Point3> vertices,
                                                      std::span<const mesh_io::Triangle> triangles,
                                                      const Viewer& viewer);

}  // namespace vertisift::sample
