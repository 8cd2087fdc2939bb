#include "ply/ply_reader.h"

#include "base/fault.h"
#include "mesh_io/reader_messages.h"
#include "ply/ply_body.h"
#include "ply/ply_header.h"

namespace vertisift::ply {

mesh_io::ReadError ends_in(const std::string& where, std::uint64_t done, const Element& element) {
  return mesh_io::ReadError::unexpected_eof(
      mesh_io::ends_after("PLY", where, done, element.count, "records of element " + element.name));
}

std::string MeshBuilder::bad_corner(std::int64_t index) const {
  return mesh_io::index_out_of_range(mesh_io::IndexedItem::Vertex, index, vertex_count_);
}

void MeshBuilder::end_corners(ElementKind kind) {
  if (kind != ElementKind::Tristrips) {
    mesh_io::add_polygon(mesh_, corners_);
    return;
  }
  std::size_t begin = 0;
  for (std::size_t i = 0; i < corners_.size(); ++i) {
    if (corners_[i] == RESTART) {
      add_strip(begin, i);
      begin = i + 1;
    }
  }
  add_strip(begin, corners_.size());
}

void MeshBuilder::add_strip(std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i + 2 < end; ++i) {
    std::uint32_t a = corners_[i], b = corners_[i + 1];
    const std::uint32_t c = corners_[i + 2];
    if ((i - begin) % 2 == 1) std::swap(a, b);  // every second triangle turns the other way
    if (a == b || b == c || a == c) {
      ++mesh_.skipped_faces;
    } else {
      mesh_.triangles.push_back({{a, b, c}});
    }
  }
}

namespace {

// The colour stream of the vertices or of the faces, when the file stores one.
void add_colors(mesh_io::Mesh& mesh, MeshBuilder& builder) {
  if (!builder.face_colors().empty() && builder.face_colors().size() != mesh.triangles.size()) {
    base::raise_fault("PLY: " + std::to_string(builder.face_colors().size()) +
                      " face colours for " + std::to_string(mesh.triangles.size()) + " triangles");
  }
  mesh_io::add_colors(mesh, std::move(builder.colors()), std::move(builder.face_colors()));
}

}  // namespace

mesh_io::ReadResult<mesh_io::Mesh> read_ply(mesh_io::ByteSource& source) {
  mesh_io::LineReader lines(source, "PLY");
  auto header = read_header(lines);
  if (!header.ok()) return std::move(header.error());
  MeshBuilder builder(header.value());
  const mesh_io::ReadStatus failure = header.value().format == Format::Ascii
                                          ? read_ascii_body(lines, header.value(), builder)
                                          : read_binary_body(lines, header.value(), builder);
  if (failure) return std::move(*failure);
  mesh_io::Mesh& mesh = builder.mesh();
  mesh.positions.shrink_to_fit();
  mesh.triangles.shrink_to_fit();
  builder.normals().shrink_to_fit();
  mesh_io::add_normals(mesh, mesh_io::Domain::Vertex, std::move(builder.normals()));
  add_colors(mesh, builder);
  mesh_io::count_ignored(mesh, header.value().dropped_face_colors_why,
                         header.value().dropped_face_colors);
  return std::move(mesh);
}

}  // namespace vertisift::ply
