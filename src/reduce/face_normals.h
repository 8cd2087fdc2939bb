// Face normals for sampling, from the file or from the corners, and vertex normals summed in
// a fixed order.
//
// A geometric face normal is the cross product of the first two edges, (B - A) x (C - A), by
// the right-hand rule in the order the file lists the corners, made unit length; it is zero
// for a degenerate face or non-finite corners. It is computed in double precision and rounded
// once, so no float32 product overflows or underflows on the way.
#pragma once

#include "base/point3.h"
#include "reduce/point_with_normal.h"
#include "stl/indexed_mesh.h"

namespace vertisift::reduce {

enum class NormalSource {
  File,      // the stored normals, as the file gives them
  Geometry,  // computed from the corners, the stored ones ignored
  Auto,      // the stored normal where it is finite and non-zero, else the computed one
};

// The unit normal of the triangle (a, b, c), or (0, 0, 0) where it has no direction.
base::Point3 geometric_normal(const base::Point3& a, const base::Point3& b, const base::Point3& c);

// True when every component is finite and at least one is non-zero.
bool usable_normal(const base::Point3& normal);

// The normal a face contributes under `source`: the stored one unchanged (File, and Auto
// where usable), or the unit geometric one.
base::Point3 face_normal(const base::Point3& stored, const base::Point3& a, const base::Point3& b,
                         const base::Point3& c, NormalSource source);

// One PointWithNormal per vertex of `mesh`, in vertex order, whose normal is the normalised
// sum of its faces' normals under `source`. The sums are taken per vertex in face order, so
// the result depends on the mesh alone, not on the pool's size.
PointList vertex_points_in_face_order(const stl::IndexedMesh& mesh, NormalSource source);

}  // namespace vertisift::reduce
