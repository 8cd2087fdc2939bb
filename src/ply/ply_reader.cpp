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

void MeshBuilder::end_face_uvs() {
  const std::size_t items = 3 * mesh_.triangles.size();
  if (corner_uvs_.size() == items) return;  // a face of fewer than three corners
  if (face_uvs_.size() != 2 * corners_.size()) [[unlikely]] {
    ++mismatched_uvs_;
    while (corner_uvs_.size() < items) corner_uvs_.push_back({0, 0});
    return;
  }
  // The fan of add_polygon: (c0, c1, c2), (c0, c2, c3), ...
  auto corner = [&](std::size_t k) { return Uv{face_uvs_[2 * k], face_uvs_[2 * k + 1]}; };
  for (std::size_t k = 1; k + 1 < corners_.size(); ++k) {
    corner_uvs_.push_back(corner(0));
    corner_uvs_.push_back(corner(k));
    corner_uvs_.push_back(corner(k + 1));
  }
}

void MeshBuilder::number_face(float number) {
  std::uint32_t material = 0;
  if (number >= 0 && number < static_cast<float>(texture_count_)) {
    material = 1 + static_cast<std::uint32_t>(number);
  } else {
    ++past_textures_;
  }
  while (face_materials_.size() < mesh_.triangles.size()) face_materials_.push_back(material);
}

void MeshBuilder::end_textures(const Element& element, const float* values) {
  if (element.has_uvs) uvs_.push_back(uv_of(values));
  if (element.has_texcoords) end_face_uvs();
  if (element.has_texnumber) number_face(values[static_cast<int>(Role::TexNumber)]);
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

// The texture coordinates, of the vertices or of the corners, and with them the materials of
// the texture files: the default, then one per file, and each triangle's (texture 0's when
// the faces have no texnumber).
void add_textures(mesh_io::Mesh& mesh, MeshBuilder& builder, const Header& header) {
  for (const auto& [why, count] : header.dropped_uvs) mesh_io::count_ignored(mesh, why, count);
  mesh_io::count_ignored(mesh, "values past the properties of a face row", builder.long_rows());
  if (!header.has_uvs()) {
    mesh_io::count_ignored(mesh, "texture file without texture coordinates",
                           header.texture_files.size());
    return;
  }
  bool corners = false;
  for (const Element& element : header.elements) corners = corners || element.has_texcoords;
  base::PodVector<Uv>& uvs = corners ? builder.corner_uvs() : builder.uvs();
  if (corners && uvs.size() != 3 * mesh.triangles.size()) {
    base::raise_fault("PLY: " + std::to_string(uvs.size()) + " corner texture coordinates for " +
                      std::to_string(mesh.triangles.size()) + " triangles");
  }
  mesh_io::count_ignored(mesh, "texcoord list that does not match its face",
                         builder.mismatched_uvs());
  if (uvs.empty()) return;
  uvs.shrink_to_fit();
  mesh.streams.push_back(make_stream(std::string(mesh_io::UV_STREAM),
                                     corners ? mesh_io::Domain::Corner : mesh_io::Domain::Vertex,
                                     mesh_io::Element::Float32, std::move(uvs)));
  if (header.texture_files.empty() || mesh.triangles.empty()) return;
  base::PodVector<std::uint32_t>& materials = builder.face_materials();
  if (materials.empty()) {
    materials.resize_zeroed(mesh.triangles.size());
    for (std::uint32_t& material : materials) material = 1;
  } else if (materials.size() != mesh.triangles.size()) {
    base::raise_fault("PLY: " + std::to_string(materials.size()) + " texture numbers for " +
                      std::to_string(mesh.triangles.size()) + " triangles");
  }
  mesh_io::count_ignored(mesh, "texnumber past the texture files", builder.past_textures());
  mesh.materials.resize(1);
  for (const std::string& name : header.texture_files) {
    mesh_io::Material& material = mesh.materials.emplace_back();
    material.name = name;
    material.texture = name;
  }
  mesh.streams.push_back(make_stream(std::string(mesh_io::MATERIAL_STREAM), mesh_io::Domain::Face,
                                     mesh_io::Element::UInt32, std::move(materials)));
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
  add_textures(mesh, builder, header.value());
  return std::move(mesh);
}

}  // namespace vertisift::ply
