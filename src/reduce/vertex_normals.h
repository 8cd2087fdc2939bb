// Vertex normals: one PointWithNormal per vertex used by a face, carrying the normalised sum
// of the stored normals of the faces that use it (not recomputed, not weighted).
#pragma once

#include "reduce/point_with_normal.h"
#include "stl/indexed_mesh.h"

namespace vertisift::reduce {

PointList compute_vertex_normals(const stl::IndexedMesh& mesh);

// (x, y, z) / sqrt((x*x + y*y) + z*z) in single precision; (+0, +0, +0) for a zero length.
base::Point3 normalize_or_zero(base::Point3 sum);

}  // namespace vertisift::reduce
