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
#include "mesh_io/mesh.h"
#include "reduce/point_with_normal.h"

namespace vertisift::sample {

enum class NormalSource {
  File,      // the stored normals, as the file gives them
  Geometry,  // computed from the corners, the stored ones ignored
  Auto,      // the stored normal where it agrees with the corners, else the computed one
  Smooth,    // at a surface point, the blend of its face's vertex normals; a face's own is
             // the computed one
  Outward,   // the computed one, turned to the side the point is seen from (a visible sample)
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

// The normals a mesh stores (its normal stream), as the corners of its triangles find them:
// corner k of triangle f has normals[item_of(*mesh, *stream, f, k)]. Empty when the mesh
// stores none.
struct CornerNormals {
  const mesh_io::Mesh* mesh = nullptr;
  const mesh_io::Stream* stream = nullptr;
  std::span<const base::Point3> normals;

  bool empty() const { return normals.empty(); }
  const base::Point3& of(std::size_t f, std::size_t k) const {
    return normals[mesh_io::item_of(*mesh, *stream, f, k)];
  }
};

// What a corner whose stored normal is `stored` adds to its vertex's sum under `source`: the
// stored normal as it is under File (one with a NaN or infinite component adds nothing),
// otherwise face_normal's for that stored normal. Under File, a longer stored normal weighs
// more, as in reduce_stl_points.
base::Point3 stored_contribution(const base::Point3& stored, const base::Point3& a,
                                 const base::Point3& b, const base::Point3& c, NormalSource source);

// One PointWithNormal per vertex, in vertex order. Its normal is the sum of its corners'
// stored_contribution made unit (or zero): the stored normals of `stored`, corner by corner
// (STL's face normal at each of its face's corners, OBJ's vn, PLY's nx ny nz). Without
// stored normals every corner stores zero. The sums are taken in double precision per vertex
// in face order, so the result depends on the mesh alone, not on the pool's size, and no sum
// overflows. Every vertex must be a corner of some triangle
// for its normal to mean anything; the caller numbers them so.
reduce::PointList vertex_points_of_corners(std::span<const base::Point3> vertices,
                                           std::span<const mesh_io::Triangle> triangles,
                                           const CornerNormals& stored, NormalSource source);

}  // namespace vertisift::sample
