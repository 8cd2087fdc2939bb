#include "mesh_io/mesh.h"

#include <algorithm>

namespace vertisift::mesh_io {

const Stream* Mesh::find(std::string_view name) const {
  const auto found = std::find_if(streams.begin(), streams.end(),
                                  [&](const Stream& stream) { return stream.name == name; });
  return found == streams.end() ? nullptr : &*found;
}

void count_ignored(Mesh& mesh, std::string_view what, std::uint64_t count) {
  if (count == 0) return;
  for (Mesh::Ignored& ignored : mesh.ignored) {
    if (ignored.what == what) {
      ignored.count += count;
      return;
    }
  }
  mesh.ignored.push_back({std::string(what), count});
}

void add_normals(Mesh& mesh, Domain domain, base::PodVector<base::Point3>&& normals,
                 base::PodVector<Triangle>&& corners) {
  if (normals.empty()) return;
  mesh.streams.push_back(make_stream(std::string(NORMAL_STREAM), domain, Element::Float32,
                                     std::move(normals), std::move(corners)));
}

}  // namespace vertisift::mesh_io
