#include "mesh_io/stored_mesh.h"

namespace vertisift::mesh_io {

void add_polygon(StoredMesh& mesh, std::span<const VertexIndex> corners,
                 std::span<const VertexIndex> normal_corners) {
  if (corners.size() < 3) {
    ++mesh.skipped_faces;
    return;
  }
  for (std::size_t k = 1; k + 1 < corners.size(); ++k) {
    mesh.triangles.push_back({{corners[0], corners[k], corners[k + 1]}});
    if (!normal_corners.empty()) {
      mesh.normal_triangles.push_back(
          {{normal_corners[0], normal_corners[k], normal_corners[k + 1]}});
    }
  }
}

}  // namespace vertisift::mesh_io
