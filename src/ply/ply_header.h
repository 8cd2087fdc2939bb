// The PLY header: the data's format, and the elements in file order with their properties
// and the part each property plays in the mesh (a coordinate, a normal, a colour component,
// the corners).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mesh_io/line_reader.h"
#include "mesh_io/read_error.h"

namespace vertisift::ply {

enum class Format { Ascii, BinaryLittleEndian, BinaryBigEndian };

enum class ScalarType : std::uint8_t {
  Int8,
  Uint8,
  Int16,
  Uint16,
  Int32,
  Uint32,
  Float32,
  Float64
};

inline std::size_t scalar_size(ScalarType type) {
  switch (type) {
    case ScalarType::Int8:
    case ScalarType::Uint8: return 1;
    case ScalarType::Int16:
    case ScalarType::Uint16: return 2;
    case ScalarType::Int32:
    case ScalarType::Uint32:
    case ScalarType::Float32: return 4;
    case ScalarType::Float64: return 8;
  }
  return 0;
}

inline bool is_integer(ScalarType type) {
  return type != ScalarType::Float32 && type != ScalarType::Float64;
}

// What a property gives the mesh. Coordinates, normals and texture coordinates (U, V) are
// scalars of a vertex element, colour components scalars of a vertex or a face element,
// TexNumber a face's scalar (its texture file); Corners is the index list of a face or
// tristrips element, TexCoords a face's list of texture coordinates (u v per corner).
enum class Role : std::uint8_t {
  None,
  X,
  Y,
  Z,
  NX,
  NY,
  NZ,
  Red,
  Green,
  Blue,
  Alpha,
  U,
  V,
  TexNumber,
  Corners,
  TexCoords
};

// The size of an array of values by role.
inline constexpr int ROLE_COUNT = static_cast<int>(Role::TexCoords) + 1;

inline bool is_color(Role role) { return role >= Role::Red && role <= Role::Alpha; }

struct Property {
  std::string name;
  ScalarType type = ScalarType::Float32;  // a list's item type
  bool is_list = false;
  ScalarType count_type = ScalarType::Uint8;  // lists only
  Role role = Role::None;
};

enum class ElementKind { Other, Vertex, Face, Tristrips };

struct Element {
  std::string name;
  std::uint64_t count = 0;
  ElementKind kind = ElementKind::Other;
  std::vector<Property> properties;
  bool has_normals = false;  // a vertex element with nx, ny and nz
  // A vertex or face element with red, green and blue scalars (diffuse_red ... as well),
  // alpha optional, whose colour the mesh keeps.
  bool has_colors = false;
  bool has_uvs = false;        // a vertex element with a pair of texture coordinates
  bool has_texcoords = false;  // a face element with a list texcoord
  bool has_texnumber = false;  // a face element with a scalar texnumber
  bool has_textures() const { return has_uvs || has_texcoords || has_texnumber; }
  std::uint64_t line = 0;  // of its declaration in the header
};

struct Header {
  Format format = Format::Ascii;
  std::vector<Element> elements;
  std::uint64_t vertex_count = 0;  // of the vertex element; 0 without one
  // A face element's colour that the mesh does not keep, beside triangle strips (whose
  // triangles have none): why, and how many face records carry it.
  std::string_view dropped_face_colors_why;
  std::uint64_t dropped_face_colors = 0;
  // The names of `comment TextureFile NAME`, in header order: texnumber k names the k-th.
  std::vector<std::string> texture_files;
  // Texture coordinates read past, by what they are and how many records carry them (the
  // vertices' beside per-corner ones, the faces' beside triangle strips).
  std::vector<std::pair<std::string_view, std::uint64_t>> dropped_uvs;
  // True when the mesh gets texture coordinates: some element's role is U or TexCoords.
  bool has_uvs() const;
};

// Reads the header up to and including its end_header line, and checks that the elements
// the mesh needs are declared usably (x y z scalars, an integer corner list). Colours and
// texture coordinates that are not usable (a component missing or a list where a scalar
// belongs) are read past without a word.
mesh_io::ReadResult<Header> read_header(mesh_io::LineReader& lines);

}  // namespace vertisift::ply
