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

// Collects the mesh: corners are checked against the vertex count the header declares, so
// faces may come before the vertices (the count is known from the header; a vertex element
// cut short fails the whole reading anyway).
class MeshBuilder {
 public:
  explicit MeshBuilder(const Header& header) : vertex_count_(header.vertex_count) {}

  mesh_io::Mesh& mesh() { return mesh_; }
  // The vertices' normals (nx ny nz), one per position when the vertex element has them.
  base::PodVector<base::Point3>& normals() { return normals_; }
  std::uint64_t vertex_count() const { return vertex_count_; }

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
  mesh_io::Mesh mesh_;
  base::PodVector<base::Point3> normals_;
  std::vector<std::uint32_t> corners_;
};

// "PLY: the file ends at <where>, after <done> of <count> records of element <name>".
mesh_io::ReadError ends_in(const std::string& where, std::uint64_t done, const Element& element);

mesh_io::ReadStatus read_ascii_body(mesh_io::LineReader& lines, const Header& header,
                                    MeshBuilder& builder);
mesh_io::ReadStatus read_binary_body(mesh_io::LineReader& lines, const Header& header,
                                     MeshBuilder& builder);

}  // namespace vertisift::ply
