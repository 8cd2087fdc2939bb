#include "mesh_io/mesh.h"

#include <algorithm>
#include <cstring>

namespace vertisift::mesh_io {

const Stream* Mesh::find(std::string_view name) const {
  const auto found = std::find_if(streams.begin(), streams.end(),
                                  [&](const Stream& stream) { return stream.name == name; });
  return found == streams.end() ? nullptr : &*found;
}

std::string uv_stream_name(std::size_t set) {
  return set == 0 ? std::string(UV_STREAM) : std::string(UV_STREAM) + std::to_string(set);
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

namespace {

float unit(float component) {
  return component >= 0.0f ? (component <= 1.0f ? component : 1.0f) : 0.0f;  // NaN: 0
}

bool one_colour(const base::PodVector<Rgba>& colors) {
  return std::all_of(colors.begin(), colors.end(), [&](const Rgba& color) {
    return std::memcmp(&color, &colors[0], sizeof color) == 0;
  });
}

}  // namespace

void add_colors(Mesh& mesh, base::PodVector<Rgba>&& vertex_colors,
                base::PodVector<Rgba>&& face_colors) {
  const bool faces_win =
      !face_colors.empty() &&
      (vertex_colors.empty() || (one_colour(vertex_colors) && !one_colour(face_colors)));
  base::PodVector<Rgba>& kept = faces_win ? face_colors : vertex_colors;
  if (!vertex_colors.empty() && !face_colors.empty()) {
    if (faces_win) {
      count_ignored(mesh, "vertex colour of one colour beside face colours", vertex_colors.size());
    } else {
      count_ignored(mesh, "face colour beside vertex colours", face_colors.size());
    }
  }
  if (kept.empty()) return;
  for (Rgba& color : kept) color = {unit(color.r), unit(color.g), unit(color.b), unit(color.a)};
  kept.shrink_to_fit();
  mesh.streams.push_back(make_stream(std::string(COLOR_STREAM),
                                     faces_win ? Domain::Face : Domain::Vertex, Element::Float32,
                                     std::move(kept)));
}

void add_normals(Mesh& mesh, Domain domain, base::PodVector<base::Point3>&& normals,
                 base::PodVector<Triangle>&& corners) {
  if (normals.empty()) return;
  mesh.streams.push_back(make_stream(std::string(NORMAL_STREAM), domain, Element::Float32,
                                     std::move(normals), std::move(corners)));
}

}  // namespace vertisift::mesh_io
