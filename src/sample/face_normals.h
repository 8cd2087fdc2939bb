// Face normals for sampling, from the file or from the corners, and vertex normals summed in
// a fixed order.
//
// A geometric face normal is the cross product of the first two edges, (B - A) x (C - A), by
// the right-hand rule in the order the file lists the corners, made unit length; it is zero
// for a degenerate face or non-finite corners. Every normal made here is unit length or zero:
// vertex sums and lengths are taken in double precision and each component rounded once, so
// no square or sum overflows or underflows on the way. (reduce_stl_points keeps its own
// single-precision rule, normalize_or_zero, which is not used here.)
#pragma once

#include <span>

#include "base/point3.h"
#include "mesh_io/indexed_mesh.h"
#include "mesh_io/stored_mesh.h"
#include "reduce/point_with_normal.h"

namespace vertisift::sample {

enum class NormalSource {
  File,      // the stored normals, as the file gives them
  Geometry,  // computed from the corners, the stored ones ignored
  Auto,      // the stored normal where it agrees with the corners, else the computed one
  Smooth,    // at a surface point, the blend of its face's vertex normals; a face's own is
             // the computed one
};

// Auto keeps a stored normal whose angle to the geometric one is below 30°: the dot product
// of the two unit vectors is at least cos 30°. Exporters that round to a few digits, or store
// the normal of the smooth surface the facets approximate, stay inside that; a flipped normal
// (180°) or one unrelated to the face (a fixed direction, garbage) does not. A random
// direction passes by chance with probability (1 - cos 30°) / 2, about 7 %, and is then
// still within 30° of the face's. A literal rather than std::cos, so that no C library's
// rounding can move the boundary.
inline constexpr double AUTO_MIN_COSINE = 0.86602540378443865;  // cos 30°

// (x, y, z) / sqrt(x*x + y*y + z*z) in double precision, each component rounded once to
// float: a unit vector for every finite input whose largest component lies between 1e-150
// and 1e150 in magnitude (floats, and their sums and products, lie far inside that);
// (0, 0, 0) when a component is NaN or infinite, or all are zero.
base::Point3 unit_or_zero(double x, double y, double z);

// (b - a) x (c - a) in double precision, each difference and product rounded in the order
// written: the vector that both the geometric normal and the area of a triangle come from.
struct EdgeCross {
  double x, y, z;
};
inline EdgeCross edge_cross(const base::Point3& a, const base::Point3& b, const base::Point3& c) {
  const double ux = double{b.x} - a.x, uy = double{b.y} - a.y, uz = double{b.z} - a.z;
  const double vx = double{c.x} - a.x, vy = double{c.y} - a.y, vz = double{c.z} - a.z;
  return {uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
}

// The unit normal of the triangle (a, b, c), or (0, 0, 0) where it has no direction.
base::Point3 geometric_normal(const base::Point3& a, const base::Point3& b, const base::Point3& c);

// The unit normal, or zero, a face has under `source`: the stored one made unit (File, and
// Auto where it agrees with the geometric one, or the face is degenerate), or the geometric
// one. A stored normal with a NaN or infinite component has no direction.
base::Point3 face_normal(const base::Point3& stored, const base::Point3& a, const base::Point3& b,
                         const base::Point3& c, NormalSource source);

// One PointWithNormal per vertex of `mesh`, in vertex order. Its normal is the sum of its
// faces' normals made unit (or zero): under File the stored normals as they are (a
// non-finite one counts as zero), as reduce_stl_points sums them; otherwise face_normal's.
// The sums are taken in double precision per vertex in face order, so the result depends on
// the mesh alone, not on the pool's size, and no sum overflows.
reduce::PointList vertex_points_in_face_order(const mesh_io::IndexedMesh& mesh,
                                              NormalSource source);

// The normals a file stores for the corners of its triangles (a StoredMesh's): corner k of
// triangle f has normals[index[f].corners[k]]. Empty when the file stores none.
struct CornerNormals {
  std::span<const base::Point3> normals;
  std::span<const mesh_io::Triangle> index;

  bool empty() const { return normals.empty(); }
  const base::Point3& of(std::size_t f, std::size_t k) const {
    return normals[index[f].corners[k]];
  }
};

// What a corner whose stored normal is `stored` adds to its vertex's sum under `source`: the
// stored normal as it is under File (one with a NaN or infinite component adds nothing),
// otherwise face_normal's for that stored normal. On a face whose corners all store the face
// normal, this is exactly what vertex_points_in_face_order sums.
base::Point3 stored_contribution(const base::Point3& stored, const base::Point3& a,
                                 const base::Point3& b, const base::Point3& c, NormalSource source);

// vertex_points_in_face_order for a mesh whose corners may store normals of their own (OBJ
// vn, PLY nx ny nz): each corner adds its stored_contribution to its vertex's sum. Without
// stored normals every corner stores zero. Every vertex must be a corner of some triangle
// for its normal to mean anything; the caller numbers them so.
reduce::PointList vertex_points_of_corners(std::span<const base::Point3> vertices,
                                           std::span<const mesh_io::Triangle> triangles,
                                           const CornerNormals& stored, NormalSource source);

}  // namespace vertisift::sample
