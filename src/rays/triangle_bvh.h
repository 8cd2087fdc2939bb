// Rays against a triangle mesh: a bounding volume hierarchy over its triangles, answering
// which triangle a ray hits first (closest hit) and whether it hits any (any hit).
//
// Design: a binary tree whose nodes hold their boxes; a node's two children sit side by side,
// so that a visit tests both boxes from one cache line. Two builds (BuildQuality):
// - by the surface area heuristic, top-down over SAH_BINS bins of the box centres along the
//   widest axis of the centres: the top of the tree is split on the calling thread, its bins
//   counted by the pool, and the subtrees below TOP_SPLIT_SHARE of the triangles are built
//   one per task on the pool, each into a block of its own, the blocks joined in the order of
//   the subtrees. A split below depth SAH_DEPTH halves its range instead, which bounds the
//   depth (and the traversal's stack) for any input;
// - in Morton order (a linear BVH): the triangles sorted by the codes of their centres on a
//   grid of 2^30 cells (a stable radix sort on the pool), each range split where its codes
//   first differ, the subtrees built one per task as above and the boxes found from the
//   leaves up. It builds several times faster, for rays that take a few more visits.
// Every step depends on the triangles alone, so either tree is the same for every pool size.
//
// The ray-triangle test is watertight (the shear and scale of Woop, Benthin and Wald, 2013):
// a ray that meets an edge or a vertex shared by triangles hits at least one of them, and a
// hit's edge functions are recomputed in double precision when single precision rounds one to
// zero. The boxes are widened by a few units in the last place of the mesh's largest
// coordinate, so rounding never lets a ray skip a box it crosses. Triangles with a non-finite
// corner are left out; degenerate ones stay and are never hit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "base/pod_vector.h"
#include "base/point3.h"

namespace vertisift::rays {

inline constexpr std::uint32_t NO_FACE = std::numeric_limits<std::uint32_t>::max();

// A ray origin + t direction, for t in (t_min, t_max). The direction need not be unit: t is in
// its units. A ray with a zero or non-finite direction or origin hits nothing.
struct Ray {
  base::Point3 origin;
  base::Point3 direction;
  float t_min = 0.0f;
  float t_max = std::numeric_limits<float>::infinity();
};

// The closest hit: the triangle (its index in the mesh, NO_FACE for none), the distance and
// the weights of its three corners, in the order of its triangle (the point is
// w0 a + w1 b + w2 c, the weights summing to 1).
struct Hit {
  float t = std::numeric_limits<float>::infinity();
  std::uint32_t face = NO_FACE;
  float w[3] = {0.0f, 0.0f, 0.0f};
};

// The mesh as the tree reads it: `positions`, and three of them per triangle in `corners`
// (an index each); for a mesh of `loose_corners`, triangle f is positions 3 f ... 3 f + 2 and
// `corners` is not read.
struct TriangleMesh {
  std::span<const base::Point3> positions;
  std::span<const std::uint32_t> corners;
  bool loose_corners = false;
  std::size_t face_count() const {
    return loose_corners ? positions.size() / 3 : corners.size() / 3;
  }
};

// How the tree is built: by the surface area heuristic (the fastest rays), or by the Morton
// order of the triangles' centres (a linear BVH: several times faster to build, its rays
// slower by a share), for callers who cast few rays per triangle.
enum class BuildQuality { Sah, Morton };

class TriangleBvh {
 public:
  static constexpr std::size_t SAH_BINS = 16;
  static constexpr std::size_t LEAF_SIZE = 4;         // a range of at most this many is a leaf
  static constexpr std::size_t SAH_DEPTH = 48;        // deeper splits halve their range
  static constexpr std::size_t TOP_SPLIT_SHARE = 64;  // subtrees of 1/64 of the mesh, at most
  static constexpr std::size_t STACK_DEPTH = 128;     // more than any tree's depth

  TriangleBvh() = default;
  // The tree over the mesh's triangles (its indices in range). Builds on the pool.
  explicit TriangleBvh(const TriangleMesh& mesh, BuildQuality quality = BuildQuality::Sah);

  // The closest triangle the ray hits, other than `ignored`.
  Hit closest(const Ray& ray, std::uint32_t ignored = NO_FACE) const;
  // Whether the ray hits any triangle other than `ignored`.
  bool occluded(const Ray& ray, std::uint32_t ignored = NO_FACE) const;

  // The triangles the tree holds (those with finite corners), and the bytes it keeps.
  std::size_t triangle_count() const { return triangles_.size(); }
  std::size_t bytes() const;
  std::size_t depth() const { return depth_; }
  // The lowest and highest corner of the box of every triangle held, with the boxes' margin
  // (zeros for none).
  base::Point3 lower() const;
  base::Point3 upper() const;

  // A node: its box and, for a leaf (count > 0), its triangles first ... first + count - 1
  // of the tree's order; for an inner node (count == 0) its children first and first + 1.
  struct Node {
    float lo[3];
    std::uint32_t first;
    float hi[3];
    std::uint32_t count;
  };
  // A triangle as the tree holds it: its corners and its index in the mesh.
  struct Triangle {
    base::Point3 a, b, c;
    std::uint32_t face;
  };

 private:
  template <bool ANY>
  Hit traverse(const Ray& ray, std::uint32_t ignored) const;
  void build_by_area(const TriangleMesh& mesh);

  base::PodVector<Node> nodes_;          // the root first, then the pairs of children
  base::PodVector<Triangle> triangles_;  // in leaf order
  std::size_t depth_ = 0;
};

// The watertight test of one ray against one triangle, which the tree runs: the hit with t in
// (ray.t_min, ray.t_max), or none (face NO_FACE; the face of a hit is left to the caller).
// Exposed for the tests, which check the tree against it triangle by triangle.
Hit intersect_triangle(const Ray& ray, const TriangleBvh::Triangle& triangle);

}  // namespace vertisift::rays
