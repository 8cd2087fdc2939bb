#include "mesh_io/mesh.h"

#include <algorithm>

namespace vertisift::mesh_io {

const Stream* Mesh::find(std::string_view name) const {
  const auto found = std::find_if(streams.begin(), streams.end(),
                                  [&](const Stream& stream) { return stream.name == name; });
  return found == streams.end() ? nullptr : &*found;
}

void add_normals(Mesh& mesh, Domain domain, base::PodVector<base::Point3>&& normals,
                 base::PodVector<Triangle>&& corners) {
  if (normals.empty()) return;
  mesh.streams.push_back(make_stream(std::string(NORMAL_STREAM), domain, Element::Float32,
                                     std::move(normals), std::move(corners)));
}

void add_polygon(Mesh& mesh, std::span<const VertexIndex> corners,
                 std::span<const VertexIndex> item_corners, base::PodVector<Triangle>* item_fans) {
  if (corners.size() < 3) {
    ++mesh.skipped_faces;
    return;
  }
  for (std::size_t k = 1; k + 1 < corners.size(); ++k) {
    mesh.triangles.push_back({{corners[0], corners[k], corners[k + 1]}});
    if (!item_corners.empty()) {
      item_fans->push_back({{item_corners[0], item_corners[k], item_corners[k + 1]}});
    }
  }
}

}  // namespace vertisift::mesh_io
