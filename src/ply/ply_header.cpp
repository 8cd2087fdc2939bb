#include "ply/ply_header.h"

#include <cstdint>
#include <optional>

#include "mesh_io/quote.h"
#include "mesh_io/reader_messages.h"
#include "mesh_io/text_numbers.h"

namespace vertisift::ply {
namespace {

using mesh_io::quote;
using mesh_io::ReadError;

// Vertex indices are 32 bits wide.
constexpr std::uint64_t MAX_VERTICES = UINT32_MAX;

struct TypeName {
  std::string_view name;
  ScalarType type;
};

constexpr TypeName TYPE_NAMES[] = {
    {"char", ScalarType::Int8},      {"int8", ScalarType::Int8},
    {"uchar", ScalarType::Uint8},    {"uint8", ScalarType::Uint8},
    {"short", ScalarType::Int16},    {"int16", ScalarType::Int16},
    {"ushort", ScalarType::Uint16},  {"uint16", ScalarType::Uint16},
    {"int", ScalarType::Int32},      {"int32", ScalarType::Int32},
    {"uint", ScalarType::Uint32},    {"uint32", ScalarType::Uint32},
    {"float", ScalarType::Float32},  {"float32", ScalarType::Float32},
    {"double", ScalarType::Float64}, {"float64", ScalarType::Float64},
};

bool parse_type(std::string_view token, ScalarType& type) {
  for (const TypeName& entry : TYPE_NAMES) {
    if (entry.name == token) {
      type = entry.type;
      return true;
    }
  }
  return false;
}

bool is_keyword(std::string_view token) {
  return token == "ply" || token == "format" || token == "comment" || token == "obj_info" ||
         token == "element" || token == "property" || token == "end_header";
}

ReadError line_error(std::uint64_t line, const std::string& what) {
  return ReadError::invalid_data("PLY line " + std::to_string(line) + ": " + what);
}

// A header line whose keyword is not one the header is read by, comment and obj_info among
// them, is skipped: longer than the bound, it may be cut once its first bytes hold the whole
// keyword.
bool skipped_line(std::string_view head) {
  std::string_view rest = head;
  const std::string_view keyword = mesh_io::next_token(rest);
  const bool whole = !rest.empty();  // a blank follows it
  return whole && (keyword == "comment" || keyword == "obj_info" || !is_keyword(keyword));
}

bool only_blanks(std::string_view rest) {
  for (char c : rest) {
    if (!mesh_io::is_blank(c)) return false;
  }
  return true;
}

// The scalar property `name` of `element`, or null (none, or a list).
Property* find_scalar(Element& element, std::string_view name) {
  for (Property& property : element.properties) {
    if (property.name == name) return property.is_list ? nullptr : &property;
  }
  return nullptr;
}

// Gives the colour components of `element` their roles, when it has all of red, green and
// blue as scalars; each under its plain name or, failing that, the one some writers use.
void assign_colors(Element& element) {
  constexpr std::string_view NAMES[4][2] = {{"red", "diffuse_red"},
                                            {"green", "diffuse_green"},
                                            {"blue", "diffuse_blue"},
                                            {"alpha", "diffuse_alpha"}};
  Property* found[4];
  for (int i = 0; i < 4; ++i) {
    found[i] = find_scalar(element, NAMES[i][0]);
    if (found[i] == nullptr) found[i] = find_scalar(element, NAMES[i][1]);
  }
  element.has_colors = found[0] != nullptr && found[1] != nullptr && found[2] != nullptr;
  if (!element.has_colors) return;
  for (int i = 0; i < 4; ++i) {
    if (found[i] != nullptr) found[i]->role = static_cast<Role>(static_cast<int>(Role::Red) + i);
  }
}

// Gives the texture coordinates of a vertex element their roles: the first pair of scalars
// under a name that writers use.
void assign_uvs(Element& vertex) {
  constexpr std::string_view NAMES[][2] = {
      {"s", "t"}, {"u", "v"}, {"texture_u", "texture_v"}, {"texture_s", "texture_t"}};
  for (const auto& pair : NAMES) {
    Property* u = find_scalar(vertex, pair[0]);
    Property* v = find_scalar(vertex, pair[1]);
    if (u == nullptr || v == nullptr) continue;
    u->role = Role::U;
    v->role = Role::V;
    vertex.has_uvs = true;
    return;
  }
}

// Gives a face element's texture coordinates (a list texcoord) and texture number (a scalar
// texnumber) their roles.
void assign_face_textures(Element& face) {
  for (Property& property : face.properties) {
    if (property.name == "texcoord" && property.is_list) {
      property.role = Role::TexCoords;
      face.has_texcoords = true;
    } else if (property.name == "texnumber" && !property.is_list) {
      property.role = Role::TexNumber;
      face.has_texnumber = true;
    }
  }
}

// Reads the properties of `element` that `drop` picks past: they lose their roles.
template <class Drop>
void drop_roles(Element& element, Drop drop) {
  for (Property& property : element.properties) {
    if (drop(property.role)) property.role = Role::None;
  }
}

// Reads the colour of `face` past.
void drop_colors(Element& face) {
  drop_roles(face, is_color);
  face.has_colors = false;
}

// The name of a `comment TextureFile NAME` line's texture (the rest of `rest`, the text after
// `comment`, without the blanks at its ends), or nothing for another comment.
std::optional<std::string_view> texture_file(std::string_view rest) {
  if (mesh_io::next_token(rest) != "TextureFile") return std::nullopt;
  while (!rest.empty() && mesh_io::is_blank(rest.front())) rest.remove_prefix(1);
  while (!rest.empty() && mesh_io::is_blank(rest.back())) rest.remove_suffix(1);
  return rest;
}

// Gives the properties of `element` their roles, or says why the element cannot be read.
std::string assign_roles(Element& element) {
  auto find = [&](std::string_view name) -> Property* {
    for (Property& property : element.properties) {
      if (property.name == name) return &property;
    }
    return nullptr;
  };
  if (element.kind == ElementKind::Vertex) {
    const char* names[] = {"x", "y", "z", "nx", "ny", "nz"};
    Property* found[6];
    for (int i = 0; i < 6; ++i) found[i] = find(names[i]);
    for (int i = 0; i < 3; ++i) {
      if (found[i] == nullptr) return "element vertex has no property " + std::string(names[i]);
      if (found[i]->is_list) return "property " + std::string(names[i]) + " of vertex is a list";
    }
    found[0]->role = Role::X;
    found[1]->role = Role::Y;
    found[2]->role = Role::Z;
    element.has_normals = found[3] != nullptr && found[4] != nullptr && found[5] != nullptr &&
                          !found[3]->is_list && !found[4]->is_list && !found[5]->is_list;
    if (element.has_normals) {
      found[3]->role = Role::NX;
      found[4]->role = Role::NY;
      found[5]->role = Role::NZ;
    }
    assign_colors(element);
    assign_uvs(element);
    return {};
  }
  if (element.kind == ElementKind::Other) return {};
  Property* corners = find("vertex_indices");
  if (corners == nullptr) corners = find("vertex_index");
  if (corners == nullptr) {
    return "element " + element.name + " has no list vertex_indices or vertex_index";
  }
  if (!corners->is_list)
    return "property " + corners->name + " of " + element.name + " is not a list";
  if (!is_integer(corners->type)) {
    return "list " + corners->name + " of " + element.name + " holds floating-point values";
  }
  corners->role = Role::Corners;
  if (element.kind == ElementKind::Face) {
    assign_colors(element);
    assign_face_textures(element);
  }
  return {};
}

}  // namespace

bool Header::has_uvs() const {
  for (const Element& element : elements) {
    if (element.has_uvs || element.has_texcoords) return true;
  }
  return false;
}

mesh_io::ReadResult<Header> read_header(mesh_io::LineReader& lines) {
  Header header;
  std::string_view line;
  auto got = lines.next(line);
  if (!got.ok()) return std::move(got.error());
  {
    std::string_view rest = line;
    const std::string_view magic = mesh_io::next_token(rest);
    if (!got.value() || magic != "ply" || line.substr(0, 3) != "ply" || !only_blanks(rest)) {
      return line_error(1, "expected \"ply\", got " + (got.value() ? quote(line) : "nothing"));
    }
  }
  bool have_format = false;
  for (;;) {
    got = lines.next(line, skipped_line);
    if (!got.ok()) return std::move(got.error());
    const std::uint64_t number = lines.line_number();
    if (!got.value()) {
      return ReadError::unexpected_eof("PLY: the file ends at line " + std::to_string(number) +
                                       ", in the header (no end_header)");
    }
    std::string_view rest = line;
    const std::string_view keyword = mesh_io::next_token(rest);
    if (keyword == "comment") {
      if (const auto name = texture_file(rest)) header.texture_files.emplace_back(*name);
      continue;
    }
    // A line without a keyword is a comment that lacks the word.
    if (keyword.empty() || keyword == "obj_info" || !is_keyword(keyword)) continue;
    if (keyword == "end_header") {
      if (!only_blanks(rest)) return line_error(number, "expected end_header, got " + quote(line));
      break;
    }
    if (keyword == "format") {
      const std::string_view kind = mesh_io::next_token(rest);
      const std::string_view version = mesh_io::next_token(rest);
      if (have_format) return line_error(number, "a second format line");
      if (!header.elements.empty()) return line_error(number, "the format line after an element");
      if (version != "1.0" || !only_blanks(rest)) {
        return line_error(number, "expected \"format <kind> 1.0\", got " + quote(line));
      }
      if (kind == "ascii") {
        header.format = Format::Ascii;
      } else if (kind == "binary_little_endian") {
        header.format = Format::BinaryLittleEndian;
      } else if (kind == "binary_big_endian") {
        header.format = Format::BinaryBigEndian;
      } else {
        return line_error(number, "unknown format " + quote(kind));
      }
      have_format = true;
      continue;
    }
    if (keyword == "element") {
      const std::string_view name = mesh_io::next_token(rest);
      const std::string_view count_text = mesh_io::next_token(rest);
      std::int64_t count = 0;
      if (name.empty() || !mesh_io::parse_integer(count_text, count) || count < 0 ||
          !only_blanks(rest)) {
        return line_error(number, "expected \"element <name> <count>\", got " + quote(line));
      }
      for (const Element& other : header.elements) {
        if (other.name == name) return line_error(number, "a second element " + quote(name));
      }
      Element element;
      element.name = std::string(name);
      element.count = static_cast<std::uint64_t>(count);
      element.line = number;
      if (name == "vertex") {
        element.kind = ElementKind::Vertex;
        if (element.count > MAX_VERTICES) {
          return line_error(number, mesh_io::too_many_vertices(element.count));
        }
        header.vertex_count = element.count;
      } else if (name == "face") {
        element.kind = ElementKind::Face;
      } else if (name == "tristrips") {
        element.kind = ElementKind::Tristrips;
      }
      header.elements.push_back(std::move(element));
      continue;
    }
    if (keyword == "property") {
      if (header.elements.empty()) return line_error(number, "a property before any element");
      Property property;
      std::string_view type = mesh_io::next_token(rest);
      bool valid = true;
      if (type == "list") {
        property.is_list = true;
        valid = parse_type(mesh_io::next_token(rest), property.count_type) &&
                is_integer(property.count_type);
        type = mesh_io::next_token(rest);
      }
      const std::string_view name = mesh_io::next_token(rest);
      if (!valid || !parse_type(type, property.type) || name.empty() || !only_blanks(rest)) {
        return line_error(number,
                          "expected \"property <type> <name>\" or \"property list "
                          "<integer type> <type> <name>\", got " +
                              quote(line));
      }
      Element& element = header.elements.back();
      for (const Property& other : element.properties) {
        if (other.name == name) {
          return line_error(number, "a second property " + quote(name) + " of " + element.name);
        }
      }
      property.name = std::string(name);
      element.properties.push_back(std::move(property));
      continue;
    }
    return line_error(number, "unexpected " + quote(line) + " in the header");
  }
  if (!have_format) return line_error(lines.line_number(), "end_header before any format line");
  for (Element& element : header.elements) {
    const std::string problem = assign_roles(element);
    if (!problem.empty()) return line_error(element.line, problem);
  }
  // Face colours must stay in step with the triangles, and strips have no colour to fill
  // their triangles' part with.
  bool strips = false;
  for (const Element& element : header.elements) {
    strips = strips || element.kind == ElementKind::Tristrips;
  }
  bool corner_uvs = false;
  for (Element& element : header.elements) {
    if (element.kind != ElementKind::Face) continue;
    if (element.has_colors && strips) {
      header.dropped_face_colors_why = "face colour beside triangle strips";
      header.dropped_face_colors = element.count;
      drop_colors(element);
    }
    if ((element.has_texcoords || element.has_texnumber) && strips) {
      if (element.has_texcoords) {
        header.dropped_uvs.emplace_back("texture coordinates beside triangle strips",
                                        element.count);
      }
      drop_roles(element,
                 [](Role role) { return role == Role::TexCoords || role == Role::TexNumber; });
      element.has_texcoords = element.has_texnumber = false;
    }
    corner_uvs = corner_uvs || element.has_texcoords;
  }
  // A corner's own coordinates say more than its vertex's.
  for (Element& element : header.elements) {
    if (element.kind != ElementKind::Vertex || !element.has_uvs || !corner_uvs) continue;
    header.dropped_uvs.emplace_back("vertex texture coordinates beside per-corner ones",
                                    element.count);
    drop_roles(element, [](Role role) { return role == Role::U || role == Role::V; });
    element.has_uvs = false;
  }
  return header;
}

}  // namespace vertisift::ply
