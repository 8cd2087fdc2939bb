// The data part of a PLY file: the mesh under construction, shared by the ASCII and the
// binary reading, and the two readings themselves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mesh_io/line_reader.h"
#include "mesh_io/mesh.h"
#include "mesh_io/read_error.h"
#include "ply/ply_header.h"

namespace vertisift::ply {

// A colour component stored as an integer of `type`, scaled by the type's largest value so
// that 0 is 0 and the largest is 1: the nearest float to the quotient. Below 0 (a signed
// type's negatives) is 0, above the largest (an ASCII row may hold any integer) is 1.
inline float color_component(std::int64_t value, ScalarType type) {
  std::int64_t largest = 0;
  switch (type) {
    case ScalarType::Int8: largest = INT8_MAX; break;
    case ScalarType::Uint8: largest = UINT8_MAX; break;
    case ScalarType::Int16: largest = INT16_MAX; break;
    case ScalarType::Uint16: largest = UINT16_MAX; break;
    case ScalarType::Int32: largest = INT32_MAX; break;
    case ScalarType::Uint32: largest = UINT32_MAX; break;
    case ScalarType::Float32:
    case ScalarType::Float64: return static_cast<float>(value);
  }
  if (value <= 0) return 0;
  if (value >= largest) return 1;
  // Both exact in float below 2^24, so the float quotient is the nearest; wider ones divide
  // in double, whose 53 bits leave its rounding to float the nearest as well.
  if (largest <= UINT16_MAX) return static_cast<float>(value) / static_cast<float>(largest);
  return static_cast<float>(static_cast<double>(value) / static_cast<double>(largest));
}

// The colour of values by role (alpha 1 unless the element has one).
inline mesh_io::Rgba color_of(const float* values) {
  return {values[static_cast<int>(Role::Red)], values[static_cast<int>(Role::Green)],
          values[static_cast<int>(Role::Blue)], values[static_cast<int>(Role::Alpha)]};
}

// A texture coordinate as the file stores it.
struct Uv {
  float u, v;
};

inline Uv uv_of(const float* values) {
  return {values[static_cast<int>(Role::U)], values[static_cast<int>(Role::V)]};
}

// Collects the mesh: corners are checked against the vertex count the header declares, so
// faces may come before the vertices (the count is known from the header; a vertex element
// cut short fails the whole reading anyway). Colours come one per vertex, or one per
// triangle of a coloured face element, which then gives every triangle (the header drops a
// face colour beside strips). Texture coordinates come one per vertex, or three per triangle
// of a face element with a texcoord list (fanned with the corners, item 3 f + k); texture
// numbers one per triangle.
class MeshBuilder {
 public:
  explicit MeshBuilder(const Header& header)
      : vertex_count_(header.vertex_count), texture_count_(header.texture_files.size()) {}

  mesh_io::Mesh& mesh() { return mesh_; }
  // The vertices' normals (nx ny nz), one per position when the vertex element has them.
  base::PodVector<base::Point3>& normals() { return normals_; }
  std::uint64_t vertex_count() const { return vertex_count_; }
  // The vertices' colours, one per position when the vertex element has them.
  base::PodVector<mesh_io::Rgba>& colors() { return colors_; }
  // The faces' colours, one per triangle when the face element has them.
  base::PodVector<mesh_io::Rgba>& face_colors() { return face_colors_; }
  // Gives the triangles of the face just read, those that have no colour yet, `color`.
  void color_face(const mesh_io::Rgba& color) {
    while (face_colors_.size() < mesh_.triangles.size()) face_colors_.push_back(color);
  }

  // The vertices' texture coordinates, one per position when the vertex element has them.
  base::PodVector<Uv>& uvs() { return uvs_; }
  // The corners' texture coordinates, three per triangle when the face element has them.
  base::PodVector<Uv>& corner_uvs() { return corner_uvs_; }
  // The texture number of each triangle (1 + texnumber, 0 for the default), when the face
  // element has them.
  base::PodVector<std::uint32_t>& face_materials() { return face_materials_; }
  // Faces whose texcoord list does not hold two numbers a corner; of a texnumber past the
  // texture files; rows with values after the last property.
  std::uint64_t mismatched_uvs() const { return mismatched_uvs_; }
  std::uint64_t past_textures() const { return past_textures_; }
  std::uint64_t long_rows() const { return long_rows_; }
  void count_long_row() { ++long_rows_; }

  // Ends a record of `element` read property by property, of `values` by role (its corners
  // added): a vertex, or a face's colour.
  void end_record(const Element& element, const float* values) {
    if (element.kind == ElementKind::Vertex) {
      mesh_.positions.push_back({values[1], values[2], values[3]});
      if (element.has_normals) normals_.push_back({values[4], values[5], values[6]});
      if (element.has_colors) colors_.push_back(color_of(values));
    } else if (element.has_colors) {
      color_face(color_of(values));
    }
  }
  // Then, for an element that has_textures(), the record's texture coordinates and number.
  // Out of line, so that the readers' loops stay as tight for the files without them.
  void end_textures(const Element& element, const float* values);

  // Starts the texcoord list of one face, then takes its numbers one by one.
  void begin_face_uvs() { face_uvs_.clear(); }
  void add_face_uv(float value) { face_uvs_.push_back(value); }
  // Gives the triangles of the face just read (its corners and its texcoord list both read)
  // their corners' coordinates, (0, 0) each when the list does not match the corners.
  void end_face_uvs();
  // Gives the triangles of the face just read, those that have no material yet, texture
  // `number`'s, or the default when there is no such texture file.
  void number_face(float number);

  // Starts the corners of one face or strip.
  void begin_corners() { corners_.clear(); }
  // One corner; false when it is negative or not below the vertex count (a -1 in a strip is
  // its restart, and true).
  bool add_corner(std::int64_t index, ElementKind kind) {
    if (index >= 0 && static_cast<std::uint64_t>(index) < vertex_count_) {
      corners_.push_back(static_cast<std::uint32_t>(index));
      return true;
    }
    if (index == -1 && kind == ElementKind::Tristrips) {
      corners_.push_back(RESTART);
      return true;
    }
    return false;
  }
  // Ends the corners begun last: a face is fanned, a strip cut into its triangles.
  void end_corners(ElementKind kind);

  // Why `index` was refused, for a message (mesh_io::index_out_of_range).
  std::string bad_corner(std::int64_t index) const;

 private:
  static constexpr std::uint32_t RESTART = UINT32_MAX;
  void add_strip(std::size_t begin, std::size_t end);

  std::uint64_t vertex_count_;
  std::size_t texture_count_;
  mesh_io::Mesh mesh_;
  base::PodVector<base::Point3> normals_;
  base::PodVector<mesh_io::Rgba> colors_;
  base::PodVector<mesh_io::Rgba> face_colors_;
  std::vector<std::uint32_t> corners_;
  base::PodVector<Uv> uvs_;
  base::PodVector<Uv> corner_uvs_;
  std::vector<float> face_uvs_;  // the texcoord list of the face being read
  base::PodVector<std::uint32_t> face_materials_;
  std::uint64_t mismatched_uvs_ = 0;
  std::uint64_t past_textures_ = 0;
  std::uint64_t long_rows_ = 0;
};

// "PLY: the file ends at <where>, after <done> of <count> records of element <name>".
mesh_io::ReadError ends_in(const std::string& where, std::uint64_t done, const Element& element);

mesh_io::ReadStatus read_ascii_body(mesh_io::LineReader& lines, const Header& header,
                                    MeshBuilder& builder);
mesh_io::ReadStatus read_binary_body(mesh_io::LineReader& lines, const Header& header,
                                     MeshBuilder& builder);

}  // namespace vertisift::ply
