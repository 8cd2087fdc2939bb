// Vertex normals: one PointWithNormal per vertex used by a face, carrying the normalised sum
// of the stored normals of the faces that use it (not recomputed, not weighted).
#pragma once

#include "mesh_io/indexed_mesh.h"
#include "reduce/point_with_normal.h"

namespace vertisift::reduce {

PointList compute_vertex_normals(const mesh_io::IndexedMesh& mesh);

// (x, y, z) / sqrt((x*x + y*y) + z*z) in single precision; (+0, +0, +0) for a zero length.
base::Point3 normalize_or_zero(base::Point3 sum);

}  // namespace vertisift::reduce
