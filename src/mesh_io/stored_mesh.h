// StoredMesh: what a reader of an indexed format (OFF, OBJ, PLY) delivers. The vertices stay
// as the file stores them (none merged, none dropped, unused ones included), the polygons
// are split into fans of triangles in file order, and the normals the file stores come with
// them when it stores any.
#pragma once

#include <cstdint>
#include <span>

#include "base/pod_vector.h"
#include "base/point3.h"
#include "mesh_io/indexed_mesh.h"

namespace vertisift::mesh_io {

struct Triangle {
  VertexIndex corners[3];
};

struct StoredMesh {
  base::PodVector<base::Point3> positions;
  base::PodVector<Triangle> triangles;  // every index below positions.size()

  // The normals the file stores, if any. Empty: none. Otherwise a table that the corners
  // index: through `normal_triangles`, one entry per triangle, when that is not empty (OBJ,
  // whose corners name their normals apart from their positions), else through `triangles`,
  // one normal per position (PLY nx ny nz, NOFF). Every index is below normals.size().
  base::PodVector<base::Point3> normals;
  base::PodVector<Triangle> normal_triangles;

  // Faces of fewer than three corners, which have no surface and were left out.
  std::uint64_t skipped_faces = 0;
};

// Appends the polygon `corners` (in file order) as the fan (c0, c1, c2), (c0, c2, c3), ...;
// a polygon of fewer than three corners adds nothing and counts as skipped. The caller has
// checked every index. When `normal_corners` is not empty it has as many items as `corners`
// and its fan goes into mesh.normal_triangles alike.
void add_polygon(StoredMesh& mesh, std::span<const VertexIndex> corners,
                 std::span<const VertexIndex> normal_corners = {});

}  // namespace vertisift::mesh_io
