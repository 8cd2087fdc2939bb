#include "obj/obj_reader.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "mesh_io/line_reader.h"
#include "mesh_io/quick_float.h"
#include "mesh_io/quote.h"
#include "mesh_io/text_numbers.h"
#include "obj/text_decoder.h"

namespace vertisift::obj {

using mesh_io::quote;
using mesh_io::ReadError;
using mesh_io::ReadResult;
using mesh_io::ReadStatus;
using mesh_io::StoredMesh;
using mesh_io::VertexIndex;

namespace {

// A corner that names no normal, until the end of the file gives it the zero normal's index.
constexpr VertexIndex NO_NORMAL = std::numeric_limits<VertexIndex>::max();
// Indices name at most this many items (NO_NORMAL stays free).
constexpr std::int64_t MOST_ITEMS = std::int64_t{NO_NORMAL};

// The statements of the format other than v, vn and f: recognised, and ignored.
constexpr std::array<std::string_view, 36> OTHER_STATEMENTS = {
    "vt",       "vp",       "l",      "p",          "o",         "g",     "s",     "mg",   "usemtl",
    "mtllib",   "usemap",   "maplib", "cstype",     "deg",       "bmat",  "step",  "curv", "curv2",
    "surf",     "parm",     "trim",   "hole",       "scrv",      "sp",    "end",   "con",  "bevel",
    "c_interp", "d_interp", "lod",    "shadow_obj", "trace_obj", "ctech", "stech", "call", "fo"};

std::string at_line(std::uint64_t line) { return "OBJ line " + std::to_string(line) + ": "; }

void skip_blanks(std::string_view& rest) {
  std::size_t i = 0;
  while (i < rest.size() && mesh_io::is_blank(rest[i])) ++i;
  rest.remove_prefix(i);
}

// MSVC's spellings of the special values: [sign]1.#IND, 1.#INF, 1.#QNAN or 1.#SNAN, then any
// digits (printf pads them: "1.#IND00").
bool parse_msvc_special(std::string_view token, float& value) {
  const bool negative = !token.empty() && token[0] == '-';
  if (!token.empty() && (token[0] == '-' || token[0] == '+')) token.remove_prefix(1);
  if (!token.starts_with("1.#")) return false;
  token.remove_prefix(3);
  float magnitude = 0.0f;
  if (token.starts_with("INF")) {
    magnitude = std::numeric_limits<float>::infinity();
    token.remove_prefix(3);
  } else if (token.starts_with("IND") || token.starts_with("QNAN") || token.starts_with("SNAN")) {
    magnitude = std::numeric_limits<float>::quiet_NaN();
    token.remove_prefix(token[0] == 'I' ? 3 : 4);
  } else {
    return false;
  }
  for (const char c : token) {
    if (c < '0' || c > '9') return false;
  }
  value = negative ? -magnitude : magnitude;
  return true;
}

// The next token of `rest` as a float, `rest` advanced past it; false when there is none or
// it is not a number. Plain decimals take the short way through from_chars.
bool next_float(std::string_view& rest, float& value) {
  skip_blanks(rest);
  if (mesh_io::quick_float<mesh_io::is_blank>(rest, value)) return true;
  const std::string_view token = mesh_io::next_token(rest);
  return mesh_io::parse_float(token, value) || parse_msvc_special(token, value);
}

// One part of a face corner: [sign]digits, `text` advanced past it; false for anything else
// and for a value of more than 18 digits.
bool take_index(std::string_view& text, std::int64_t& value) {
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) i = 1;
  const std::size_t first = i;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (i - first >= 18) return false;
    magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (i == first) return false;
  value = negative ? -magnitude : magnitude;
  text.remove_prefix(i);
  return true;
}

class Parser {
 public:
  ReadStatus statement(std::string_view text, std::uint64_t line);
  ReadResult<StoredMesh> finish();

 private:
  ReadStatus face(std::string_view rest, std::uint64_t line);
  // The 0-based item of a corner's 1-based or relative `index` among `defined` items so far.
  ReadStatus resolve(std::int64_t index, std::size_t defined, std::string_view corner,
                     std::uint64_t line, VertexIndex& item);

  StoredMesh mesh_;
  base::PodVector<base::Point3> normals_;  // the vn table
  bool names_normals_ = false;             // some corner names a vn
  std::vector<VertexIndex> corners_, normal_corners_;
  // The largest vertex and normal indices met, and where: forward references are checked at
  // the end.
  std::int64_t largest_vertex_ = -1, largest_normal_ = -1;
  std::uint64_t largest_vertex_line_ = 0, largest_normal_line_ = 0;
  bool recognised_ = false;  // some line holds an OBJ statement
  std::uint64_t content_lines_ = 0;
};

ReadStatus Parser::statement(std::string_view text, std::uint64_t line) {
  std::string_view rest = text;
  skip_blanks(rest);
  if (rest.empty() || rest[0] == '#') return {};
  ++content_lines_;
  std::size_t length = 1;
  while (length < rest.size() && !mesh_io::is_blank(rest[length])) ++length;
  const std::string_view keyword = rest.substr(0, length);
  rest.remove_prefix(length);
  const char first = keyword[0];
  if ((first >= '0' && first <= '9') || first == '-' || first == '+' || first == '.') {
    return ReadError::invalid_data(
        at_line(line) + "not a Wavefront OBJ file: a line starts with a number, " + quote(text));
  }
  if (keyword == "v" || keyword == "vn") {
    float xyz[3];
    skip_blanks(rest);
    const std::string_view numbers = rest;
    for (float& value : xyz) {
      if (!next_float(rest, value)) {
        return ReadError::invalid_data(at_line(line) + "expected 3 " +
                                       (keyword == "v" ? "vertex" : "normal") +
                                       " coordinates, got " + quote(numbers));
      }
    }
    auto& table = keyword == "v" ? mesh_.positions : normals_;
    if (table.size() >= static_cast<std::size_t>(MOST_ITEMS)) {
      return ReadError::invalid_data(at_line(line) + "more vertices than 32-bit indices name");
    }
    table.push_back({xyz[0], xyz[1], xyz[2]});
    recognised_ = true;
    return {};
  }
  if (keyword == "f") {
    recognised_ = true;
    return face(rest, line);
  }
  for (const std::string_view other : OTHER_STATEMENTS) {
    if (keyword == other) {
      recognised_ = true;
      break;
    }
  }
  return {};
}

ReadStatus Parser::resolve(std::int64_t index, std::size_t defined, std::string_view corner,
                           std::uint64_t line, VertexIndex& item) {
  const auto count = static_cast<std::int64_t>(defined);
  if (index == 0) {
    return ReadError::invalid_data(at_line(line) + "index 0 in the face corner " + quote(corner) +
                                   " (indices count from 1)");
  }
  const std::int64_t zero_based = index < 0 ? count + index : index - 1;
  if (zero_based < 0) {
    return ReadError::invalid_data(at_line(line) + "the relative index " + std::to_string(index) +
                                   " in " + quote(corner) + " reaches before the first item (" +
                                   std::to_string(count) + " defined so far)");
  }
  if (zero_based >= MOST_ITEMS) {
    return ReadError::invalid_data(at_line(line) + "the index " + std::to_string(index) + " in " +
                                   quote(corner) + " is beyond what 32-bit indices name");
  }
  item = static_cast<VertexIndex>(zero_based);
  return {};
}

ReadStatus Parser::face(std::string_view rest, std::uint64_t line) {
  corners_.clear();
  normal_corners_.clear();
  bool names_normal = false;
  for (;;) {
    skip_blanks(rest);
    if (rest.empty() || rest[0] == '#') break;
    // The common corner, a plain positive index, without the general reading.
    std::size_t size = 0;
    std::uint64_t plain = 0;
    while (size < rest.size() && size < 10 && static_cast<unsigned>(rest[size] - '0') < 10) {
      plain = plain * 10 + static_cast<std::uint64_t>(rest[size++] - '0');
    }
    if (size != 0 && (size == rest.size() || mesh_io::is_blank(rest[size])) && plain != 0 &&
        plain <= static_cast<std::uint64_t>(MOST_ITEMS)) {
      const auto item = static_cast<VertexIndex>(plain - 1);
      corners_.push_back(item);
      normal_corners_.push_back(NO_NORMAL);
      if (item > largest_vertex_) {
        largest_vertex_ = item;
        largest_vertex_line_ = line;
      }
      rest.remove_prefix(size);
      continue;
    }
    std::string_view corner = rest;
    size = 0;
    while (size < corner.size() && !mesh_io::is_blank(corner[size])) ++size;
    corner = corner.substr(0, size);
    rest.remove_prefix(size);

    // v, v/vt, v//vn, v/vt/vn or v/vt/
    std::string_view text = corner;
    std::int64_t vertex = 0, texture = 0, normal = 0;
    bool has_normal = false, well_formed = take_index(text, vertex);
    if (well_formed && !text.empty()) {
      well_formed = text[0] == '/';
      text.remove_prefix(1);
      if (well_formed && !text.empty() && text[0] != '/') well_formed = take_index(text, texture);
      if (well_formed && !text.empty()) {
        well_formed = text[0] == '/';
        text.remove_prefix(1);
        if (well_formed && !text.empty()) well_formed = has_normal = take_index(text, normal);
      }
      well_formed = well_formed && text.empty();
    }
    if (!well_formed) {
      return ReadError::invalid_data(at_line(line) +
                                     "expected a face corner (v, v/vt, v//vn or v/vt/vn), got " +
                                     quote(corner));
    }
    VertexIndex item = 0;
    if (auto error = resolve(vertex, mesh_.positions.size(), corner, line, item)) return error;
    corners_.push_back(item);
    if (item > largest_vertex_) {
      largest_vertex_ = item;
      largest_vertex_line_ = line;
    }
    VertexIndex normal_item = NO_NORMAL;
    if (has_normal) {
      if (auto error = resolve(normal, normals_.size(), corner, line, normal_item)) return error;
      names_normal = true;
      if (normal_item > largest_normal_) {
        largest_normal_ = normal_item;
        largest_normal_line_ = line;
      }
    }
    normal_corners_.push_back(normal_item);
  }
  if (names_normal && !names_normals_) {
    // The first corner that names a normal: the triangles before it name none.
    names_normals_ = true;
    for (std::size_t i = 0; i < mesh_.triangles.size(); ++i) {
      mesh_.normal_triangles.push_back({{NO_NORMAL, NO_NORMAL, NO_NORMAL}});
    }
  }
  mesh_io::add_polygon(mesh_, corners_,
                       names_normals_ ? std::span<const VertexIndex>(normal_corners_)
                                      : std::span<const VertexIndex>());
  return {};
}

ReadResult<StoredMesh> Parser::finish() {
  if (content_lines_ != 0 && !recognised_) {
    return ReadError::invalid_data("OBJ: not a Wavefront OBJ file: none of its " +
                                   std::to_string(content_lines_) +
                                   " lines of content is an OBJ statement");
  }
  if (largest_vertex_ >= static_cast<std::int64_t>(mesh_.positions.size())) {
    return ReadError::invalid_data(
        at_line(largest_vertex_line_) + "vertex index " + std::to_string(largest_vertex_ + 1) +
        " is out of range (" + std::to_string(mesh_.positions.size()) + " vertices in the file)");
  }
  if (largest_normal_ >= static_cast<std::int64_t>(normals_.size())) {
    return ReadError::invalid_data(at_line(largest_normal_line_) + "normal index " +
                                   std::to_string(largest_normal_ + 1) + " is out of range (" +
                                   std::to_string(normals_.size()) + " normals in the file)");
  }
  // Normals named only by skipped faces have no triangle to go with: without normal
  // triangles, StoredMesh would take the table for one normal per position.
  if (!mesh_.normal_triangles.empty()) {
    const auto zero = static_cast<VertexIndex>(normals_.size());
    bool uses_zero = false;
    for (mesh_io::Triangle& triangle : mesh_.normal_triangles) {
      for (VertexIndex& corner : triangle.corners) {
        if (corner == NO_NORMAL) {
          corner = zero;
          uses_zero = true;
        }
      }
    }
    if (uses_zero) normals_.push_back({0.0f, 0.0f, 0.0f});
    mesh_.normals = std::move(normals_);
  }
  return std::move(mesh_);
}

// A statement is cut by the line that continues it; this holds what came before.
bool continues(std::string_view line) {
  while (!line.empty() && mesh_io::is_blank(line.back())) line.remove_suffix(1);
  return !line.empty() && line.back() == '\\';
}

}  // namespace

ReadResult<StoredMesh> read_obj(mesh_io::ByteSource& source) {
  TextDecoder text(source);
  mesh_io::LineReader lines(text);
  Parser parser;
  std::string joined;  // a statement continued over several lines
  std::uint64_t first_line = 0;
  for (;;) {
    std::string_view line;
    auto got = lines.next(line);
    if (!got.ok()) return std::move(got.error());
    if (!got.value()) break;
    if (continues(line)) {
      if (joined.empty()) first_line = lines.line_number();
      joined.append(line.substr(0, line.rfind('\\')));
      joined += ' ';
      continue;
    }
    std::uint64_t number = lines.line_number();
    if (!joined.empty()) {
      joined.append(line);
      line = joined;
      number = first_line;
    }
    if (auto error = parser.statement(line, number)) return std::move(*error);
    joined.clear();
  }
  if (!joined.empty()) {
    if (auto error = parser.statement(joined, first_line)) return std::move(*error);
  }
  return parser.finish();
}

}  // namespace vertisift::obj
