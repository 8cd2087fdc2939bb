#include "obj/obj_reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mesh_io/line_reader.h"
#include "mesh_io/ordered_parse.h"
#include "mesh_io/quote.h"
#include "mesh_io/reader_messages.h"
#include "mesh_io/text_numbers.h"
#include "obj/mtl_reader.h"
#include "obj/statement_text.h"
#include "obj/text_decoder.h"
#include "parallel/thread_pool.h"

namespace vertisift::obj {

using mesh_io::Mesh;
using mesh_io::quote;
using mesh_io::ReadError;
using mesh_io::ReadResult;
using mesh_io::ReadStatus;
using mesh_io::VertexIndex;

namespace {

// A corner that names no normal, until the end of the file gives it the zero normal's index.
constexpr VertexIndex NO_NORMAL = std::numeric_limits<VertexIndex>::max();
// Indices name at most this many items (NO_NORMAL stays free).
constexpr std::int64_t MOST_ITEMS = std::int64_t{NO_NORMAL};

// The statements of the format other than v, vn, vt, f, usemtl and mtllib: recognised, and
// ignored.
constexpr std::array<std::string_view, 33> OTHER_STATEMENTS = {
    "vp",         "l",         "p",     "o",     "g",    "s",     "mg",       "usemap",   "maplib",
    "cstype",     "deg",       "bmat",  "step",  "curv", "curv2", "surf",     "parm",     "trim",
    "hole",       "scrv",      "sp",    "end",   "con",  "bevel", "c_interp", "d_interp", "lod",
    "shadow_obj", "trace_obj", "ctech", "stech", "call", "fo"};

// A texture coordinate as the file writes it.
struct Uv {
  float u, v;
};

std::string at_line(std::uint64_t line) { return "OBJ line " + std::to_string(line) + ": "; }

[[gnu::always_inline]] inline void skip_blanks(std::string_view& rest) {
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
// it is not a number.
bool next_float(std::string_view& rest, float& value) {
  skip_blanks(rest);
  const char* at = rest.data();
  const char* end = at + rest.size();
  if (mesh_io::scan_float<mesh_io::is_blank>(at, end, value)) {
    rest = std::string_view(at, end);
    return true;
  }
  return parse_msvc_special(mesh_io::next_token(rest), value);
}

bool is_slash(char c) { return c == '/'; }

// One part of a face corner: [sign]digits up to a '/' or the end, `text` advanced past it;
// false for anything else and for a value outside 64 bits.
bool take_index(std::string_view& text, std::int64_t& value) {
  const char* at = text.data();
  const char* end = at + text.size();
  if (!mesh_io::scan_integer<is_slash>(at, end, value)) return false;
  text = std::string_view(at, end);
  return true;
}

// A vertex colour while the file is read: r g b as written, alpha 1 for a vertex of
// `v x y z r g b` and 0 for one without a colour, which the end of the file makes white.
// Whether the numbers are 0 to 1 or 0 to 255 is known only then.
constexpr mesh_io::Rgba NO_COLOUR = {1.0f, 1.0f, 1.0f, 0.0f};

// White for each of `count` vertices without a colour.
void add_uncoloured(base::PodVector<mesh_io::Rgba>& colours, std::size_t count) {
  std::fill_n(colours.extend(count), count, NO_COLOUR);
}

// The file is read in parts: stretches of whole lines, cut after a line end that is neither
// the CR of a CR LF nor the end of a line that goes on in the next. A few parts at a time are
// parsed at once, each on its own, then joined in file order (mesh_io::OrderedParse, each
// batch joined beside the parse of the next). A part does not know how many
// vertices and normals come before it: its positive indices are final, its negative ones are
// kept counted from the part's start (as unsigned wrap-around values), with the places of
// their corners, and the join adds the counts before the part. A part that met an error, or
// whose negative indices reach before its start further than the file allows, or that would
// overflow the 32-bit indices, is parsed again by the join, which now knows the counts and
// the line where the part starts: that second reading gives the error exactly as a reading of
// the whole file in one go would. A part holds only its own lines and items, and only two
// batches of parts are in flight at once.
struct Part {
  std::string text;  // whole lines, the last one ended unless the file ends there
  // The part's vertices, its faces' fans and its skipped faces; its vn table (normals) and,
  // once names_normals, the vn of every triangle's corners.
  Mesh mesh;
  base::PodVector<base::Point3> normals;
  base::PodVector<mesh_io::Triangle> normal_triangles;
  // Alike for the vt table and, once names_uvs, the vt of every triangle's corners.
  base::PodVector<Uv> uvs;
  base::PodVector<mesh_io::Triangle> uv_triangles;
  // Each usemtl of the part: the part's triangle it applies from, and the name. The triangles
  // before the first take the material in force at the part's start, which the join knows.
  std::vector<std::pair<std::size_t, std::string>> material_runs;
  std::vector<std::string> libraries;  // the names of each mtllib, in order
  // Once some vertex of the part has a colour, one per position (NO_COLOUR for those without
  // one); empty before.
  base::PodVector<mesh_io::Rgba> colours;
  bool colours_above_one = false;  // some component is above 1: the file writes 0 to 255
  // The corners (triangle * 3 + corner) whose item is counted from the part's start.
  std::vector<std::size_t> vertex_shifts, normal_shifts, uv_shifts;
  bool names_normals = false;  // some corner names a vn
  bool names_uvs = false;      // some corner names a vt
  // The largest positive vertex and normal indices (0-based) and their first lines in the
  // part.
  std::int64_t largest_vertex = -1, largest_normal = -1;
  std::uint64_t largest_vertex_line = 0, largest_normal_line = 0;
  // How far before the part's start the negative indices reach: the least item (<= 0).
  std::int64_t vertex_reach = 0, normal_reach = 0, uv_reach = 0;
  bool recognised = false;
  std::uint64_t content_lines = 0;
  std::uint64_t lines = 0;
  ReadStatus error;  // the first, its line counted from the part's start unless parsed again

  std::size_t bytes() const { return text.size(); }

  void clear_results() {
    mesh.positions.clear();
    normals.clear();
    mesh.triangles.clear();
    normal_triangles.clear();
    uvs.clear();
    uv_triangles.clear();
    material_runs.clear();
    libraries.clear();
    colours.clear();
    colours_above_one = false;
    mesh.skipped_faces = 0;
    vertex_shifts.clear();
    normal_shifts.clear();
    uv_shifts.clear();
    names_normals = names_uvs = false;
    largest_vertex = largest_normal = -1;
    largest_vertex_line = largest_normal_line = 0;
    vertex_reach = normal_reach = uv_reach = 0;
    recognised = false;
    content_lines = lines = 0;
    error.reset();
  }
};

// What comes before a part, when known: the vertices, the normals, the vt and the lines.
struct Before {
  std::size_t positions = 0, normals = 0, uvs = 0;
  std::uint64_t lines = 0;
};

// The statements of one part into it.
class Parser {
 public:
  // `before` null: what comes before the part is not known yet.
  Parser(Part& part, const Before* before) : part_(part), before_(before) {}
  ReadStatus statement(std::string_view text, std::uint64_t line);

 private:
  // Apart from statement(), so that the v lines' path stays as short as it is.
  [[gnu::noinline]] ReadStatus face(std::string_view rest, std::uint64_t line);
  // vt, usemtl and mtllib, out of the way of the statements of geometry.
  [[gnu::noinline]] ReadStatus surface_statement(std::string_view keyword, std::string_view rest,
                                                 std::uint64_t line);
  ReadStatus texture_coordinate(std::string_view rest, std::uint64_t line);
  void material_libraries(std::string_view rest);
  // The rest of a `v` line after x y z, `rest`, which holds more than a comment: the colour
  // of the vertex just added, if it is one.
  void vertex_colour(std::string_view rest);
  // The item of a corner's 1-based or relative `index` among `defined` items of the part so
  // far and `earlier` before it; `relative` when it is counted from the part's start.
  ReadStatus resolve(std::int64_t index, std::size_t defined, std::size_t earlier,
                     std::int64_t& reach, std::string_view corner, std::uint64_t line,
                     VertexIndex& item, bool& relative);
  std::string at(std::uint64_t line) const {
    return at_line(line + (before_ != nullptr ? before_->lines : 0));
  }
  // Appends the fan of the face in corners_ (add_polygon), and notes its corners counted
  // from the part's start.
  void add_face();

  Part& part_;
  const Before* before_;
  // The face's corners, and their normals (NO_NORMAL where a corner names none) up to the
  // last corner that names one, all of them once the part names normals; their vt alike.
  std::vector<VertexIndex> corners_, normal_corners_, uv_corners_;
  // Per corner: 1 when its vertex, 2 when its normal, 4 when its vt is counted from the
  // part's start; kept
  // only once a corner of the face is (any_relative_).
  std::vector<unsigned char> relative_;
  bool any_relative_ = false;
};

ReadStatus Parser::statement(std::string_view text, std::uint64_t line) {
  std::string_view rest = text;
  skip_blanks(rest);
  if (rest.empty() || rest[0] == '#') return {};
  ++part_.content_lines;
  std::size_t length = 1;
  while (length < rest.size() && !mesh_io::is_blank(rest[length])) ++length;
  const std::string_view keyword = rest.substr(0, length);
  rest.remove_prefix(length);
  const char first = keyword[0];
  if ((first >= '0' && first <= '9') || first == '-' || first == '+' || first == '.') {
    return ReadError::invalid_data(
        at(line) + "not a Wavefront OBJ file: a line starts with a number, " + quote(text));
  }
  // The keywords of geometry by their bytes: the lines of a large file are nearly all these.
  const bool vertex = length == 1 && first == 'v';
  if (vertex || (length == 2 && first == 'v' && keyword[1] == 'n')) {
    float xyz[3];
    skip_blanks(rest);
    const std::string_view numbers = rest;
    for (float& value : xyz) {
      if (!next_float(rest, value)) {
        return ReadError::invalid_data(at(line) + "expected 3 " + (vertex ? "vertex" : "normal") +
                                       " coordinates, got " + quote(numbers));
      }
    }
    auto& table = vertex ? part_.mesh.positions : part_.normals;
    const std::size_t earlier =
        before_ == nullptr ? 0 : (vertex ? before_->positions : before_->normals);
    if (table.size() >=
        static_cast<std::size_t>(MOST_ITEMS) - std::min<std::size_t>(earlier, MOST_ITEMS)) {
      return ReadError::invalid_data(at(line) + mesh_io::too_many_vertices());
    }
    table.push_back({xyz[0], xyz[1], xyz[2]});
    part_.recognised = true;
    if (vertex) {
      skip_blanks(rest);
      if (!rest.empty() && rest[0] != '#') [[unlikely]] {
        vertex_colour(rest);
      } else if (!part_.colours.empty()) {
        part_.colours.push_back(NO_COLOUR);
      }
    }
    return {};
  }
  if (length == 1 && first == 'f') {
    part_.recognised = true;
    return face(rest, line);
  }
  if (keyword == "vt" || keyword == "usemtl" || keyword == "mtllib") [[unlikely]] {
    part_.recognised = true;
    return surface_statement(keyword, rest, line);
  }
  for (const std::string_view other : OTHER_STATEMENTS) {
    if (keyword == other) {
      part_.recognised = true;
      break;
    }
  }
  return {};
}

ReadStatus Parser::surface_statement(std::string_view keyword, std::string_view rest,
                                     std::uint64_t line) {
  if (keyword == "vt") return texture_coordinate(rest, line);
  rest = trimmed(before_comment(rest));
  if (keyword == "mtllib") {
    material_libraries(rest);
  } else {
    // The name is the rest of the line (it may hold blanks).
    part_.material_runs.emplace_back(part_.mesh.triangles.size(), std::string(rest));
  }
  return {};
}

ReadStatus Parser::texture_coordinate(std::string_view rest, std::uint64_t line) {
  // u [v [w]]: v is 0 when missing, w is not kept.
  Uv uv = {0.0f, 0.0f};
  skip_blanks(rest);
  const std::string_view numbers = rest;
  if (!next_float(rest, uv.u)) {
    return ReadError::invalid_data(at(line) + "expected 1 to 3 texture coordinates, got " +
                                   quote(numbers));
  }
  skip_blanks(rest);
  if (!rest.empty() && rest[0] != '#' && !next_float(rest, uv.v)) {
    return ReadError::invalid_data(at(line) + "expected 1 to 3 texture coordinates, got " +
                                   quote(numbers));
  }
  const std::size_t earlier = before_ == nullptr ? 0 : before_->uvs;
  if (part_.uvs.size() >=
      static_cast<std::size_t>(MOST_ITEMS) - std::min<std::size_t>(earlier, MOST_ITEMS)) {
    return ReadError::invalid_data(at(line) +
                                   "more texture coordinates than 32-bit indices can name");
  }
  part_.uvs.push_back(uv);
  return {};
}

void Parser::material_libraries(std::string_view rest) {
  // Names split at blanks when each ends in ".mtl"; otherwise one name, blanks and all, as
  // writers put a single library whose name holds blanks.
  std::vector<std::string_view> names;
  for (std::string_view tokens = rest;;) {
    const std::string_view token = mesh_io::next_token(tokens);
    if (token.empty()) break;
    names.push_back(token);
  }
  const bool each_a_library = std::all_of(names.begin(), names.end(), [](std::string_view name) {
    return name.size() > 4 && (name.ends_with(".mtl") || name.ends_with(".MTL"));
  });
  if (!each_a_library) names.assign(1, rest);
  for (const std::string_view name : names) {
    if (!name.empty()) part_.libraries.emplace_back(name);
  }
}

void Parser::vertex_colour(std::string_view rest) {
  // r g b and nothing more but a comment: a colour; a weight w, or anything else, is not.
  float rgb[3];
  bool colour = true;
  for (float& value : rgb) colour = colour && next_float(rest, value);
  skip_blanks(rest);
  colour = colour && (rest.empty() || rest[0] == '#');
  base::PodVector<mesh_io::Rgba>& colours = part_.colours;
  const std::size_t vertices = part_.mesh.positions.size();
  if (!colour) {
    if (!colours.empty()) colours.push_back(NO_COLOUR);
    return;
  }
  if (colours.empty()) add_uncoloured(colours, vertices - 1);
  colours.push_back({rgb[0], rgb[1], rgb[2], 1.0f});
  part_.colours_above_one =
      part_.colours_above_one || rgb[0] > 1.0f || rgb[1] > 1.0f || rgb[2] > 1.0f;
}

ReadStatus Parser::resolve(std::int64_t index, std::size_t defined, std::size_t earlier,
                           std::int64_t& reach, std::string_view corner, std::uint64_t line,
                           VertexIndex& item, bool& relative) {
  if (index == 0) {
    return ReadError::invalid_data(at(line) + "index 0 in the face corner " + quote(corner) +
                                   " (indices count from 1)");
  }
  if (index < 0) {
    // Counted from the part's start; before it when negative.
    const std::int64_t local = static_cast<std::int64_t>(defined) + index;
    if (before_ != nullptr && static_cast<std::int64_t>(earlier) + local < 0) {
      return ReadError::invalid_data(at(line) + "the relative index " + std::to_string(index) +
                                     " in " + quote(corner) + " reaches before the first item (" +
                                     std::to_string(earlier + defined) + " defined so far)");
    }
    if (local < reach) reach = local;
    item = static_cast<VertexIndex>(static_cast<std::uint64_t>(local));
    relative = true;
    return {};
  }
  if (index - 1 >= MOST_ITEMS) {
    return ReadError::invalid_data(at(line) + "the index " + std::to_string(index) + " in " +
                                   quote(corner) + " is beyond what 32-bit indices name");
  }
  item = static_cast<VertexIndex>(index - 1);
  relative = false;
  return {};
}

ReadStatus Parser::face(std::string_view rest, std::uint64_t line) {
  corners_.clear();
  normal_corners_.clear();
  uv_corners_.clear();
  relative_.clear();
  any_relative_ = false;
  bool names_normal = false, names_uv = false;
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
      if (any_relative_) relative_.push_back(0);
      if (item > part_.largest_vertex) {
        part_.largest_vertex = item;
        part_.largest_vertex_line = line;
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
    bool has_normal = false, has_uv = false, well_formed = take_index(text, vertex);
    if (well_formed && !text.empty()) {
      well_formed = text[0] == '/';
      text.remove_prefix(1);
      if (well_formed && !text.empty() && text[0] != '/') {
        well_formed = has_uv = take_index(text, texture);
      }
      if (well_formed && !text.empty()) {
        well_formed = text[0] == '/';
        text.remove_prefix(1);
        if (well_formed && !text.empty()) well_formed = has_normal = take_index(text, normal);
      }
      well_formed = well_formed && text.empty();
    }
    if (!well_formed) {
      return ReadError::invalid_data(
          at(line) + "expected a face corner (v, v/vt, v//vn or v/vt/vn), got " + quote(corner));
    }
    VertexIndex item = 0;
    bool relative = false;
    if (auto error = resolve(vertex, part_.mesh.positions.size(),
                             before_ != nullptr ? before_->positions : 0, part_.vertex_reach,
                             corner, line, item, relative)) {
      return error;
    }
    corners_.push_back(item);
    unsigned char flags = relative ? 1 : 0;
    if (!relative && item > part_.largest_vertex) {
      part_.largest_vertex = item;
      part_.largest_vertex_line = line;
    }
    VertexIndex normal_item = NO_NORMAL;
    if (has_normal) {
      if (auto error =
              resolve(normal, part_.normals.size(), before_ != nullptr ? before_->normals : 0,
                      part_.normal_reach, corner, line, normal_item, relative)) {
        return error;
      }
      names_normal = true;
      if (relative) {
        flags |= 2;
      } else if (normal_item > part_.largest_normal) {
        part_.largest_normal = normal_item;
        part_.largest_normal_line = line;
      }
    }
    if (has_normal) {
      // The corners before it that named none.
      normal_corners_.resize(corners_.size() - 1, NO_NORMAL);
      normal_corners_.push_back(normal_item);
    }
    if (has_uv) {
      // A face whose corners name a vt for some corners only keeps those it names, and the
      // others take (0, 0), as the corners without a vn take the zero normal: the corners
      // the writer gave a place in the texture keep it, and a face is never dropped for it.
      VertexIndex uv_item = NO_NORMAL;
      if (auto error = resolve(texture, part_.uvs.size(), before_ != nullptr ? before_->uvs : 0,
                               part_.uv_reach, corner, line, uv_item, relative)) {
        return error;
      }
      names_uv = true;
      if (relative) flags |= 4;
      uv_corners_.resize(corners_.size() - 1, NO_NORMAL);
      uv_corners_.push_back(uv_item);
    }
    if (flags != 0 && !any_relative_) {
      any_relative_ = true;
      relative_.assign(corners_.size() - 1, 0);
    }
    if (any_relative_) relative_.push_back(flags);
  }
  if (names_normal && !part_.names_normals) {
    // The first corner that names a normal: the triangles before it name none.
    part_.names_normals = true;
    for (std::size_t i = 0; i < part_.mesh.triangles.size(); ++i) {
      part_.normal_triangles.push_back({{NO_NORMAL, NO_NORMAL, NO_NORMAL}});
    }
  }
  if (part_.names_normals) normal_corners_.resize(corners_.size(), NO_NORMAL);
  if (names_uv || part_.names_uvs) [[unlikely]] {
    if (!part_.names_uvs) {
      part_.names_uvs = true;
      for (std::size_t i = 0; i < part_.mesh.triangles.size(); ++i) {
        part_.uv_triangles.push_back({{NO_NORMAL, NO_NORMAL, NO_NORMAL}});
      }
    }
    uv_corners_.resize(corners_.size(), NO_NORMAL);
  }
  add_face();
  return {};
}

void Parser::add_face() {
  const std::size_t first = part_.mesh.triangles.size();
  mesh_io::add_polygon(part_.mesh, corners_,
                       part_.names_normals ? std::span<const VertexIndex>(normal_corners_)
                                           : std::span<const VertexIndex>(),
                       &part_.normal_triangles);
  if (part_.names_uvs && corners_.size() >= 3) [[unlikely]] {
    for (std::size_t k = 1; k + 1 < corners_.size(); ++k) {
      part_.uv_triangles.push_back({{uv_corners_[0], uv_corners_[k], uv_corners_[k + 1]}});
    }
  }
  if (!any_relative_) return;
  // The fan's triangle t is (c0, c(t+1), c(t+2)): its corners counted from the part's start
  // are shifted when the part is joined.
  for (std::size_t t = 0; first + t < part_.mesh.triangles.size(); ++t) {
    const std::size_t picked[3] = {0, t + 1, t + 2};
    const std::size_t slot = (first + t) * 3;
    for (std::size_t j = 0; j < 3; ++j) {
      if ((relative_[picked[j]] & 1) != 0) part_.vertex_shifts.push_back(slot + j);
      if ((relative_[picked[j]] & 2) != 0) part_.normal_shifts.push_back(slot + j);
      if ((relative_[picked[j]] & 4) != 0) part_.uv_shifts.push_back(slot + j);
    }
  }
}

// A statement is cut by the line that continues it; this holds what came before.
bool continues(std::string_view line) {
  while (!line.empty() && mesh_io::is_blank(line.back())) line.remove_suffix(1);
  return !line.empty() && line.back() == '\\';
}

// The statements of the lines of `source` into `parser`; the number of lines read into
// `lines`. Stops at the first error.
ReadStatus parse_lines(mesh_io::ByteSource& source, Parser& parser, std::uint64_t& lines) {
  // A part's lines were held to the bound as they were cut from the file (see read_obj).
  mesh_io::LineReader reader(source, "OBJ", SIZE_MAX);
  std::string joined;  // a statement continued over several lines
  std::uint64_t first_line = 0;
  ReadStatus status;
  for (;;) {
    std::string_view line;
    auto got = reader.next(line);
    if (!got.ok()) {
      status = std::move(got.error());
      break;
    }
    if (!got.value()) {
      if (!joined.empty()) status = parser.statement(joined, first_line);
      break;
    }
    if (continues(line)) {
      if (joined.empty()) first_line = reader.line_number();
      joined.append(line.substr(0, line.rfind('\\')));
      joined += ' ';
      continue;
    }
    std::uint64_t number = reader.line_number();
    if (!joined.empty()) {
      joined.append(line);
      line = joined;
      number = first_line;
    }
    status = parser.statement(line, number);
    if (status) break;
    joined.clear();
  }
  lines = reader.line_number();
  return status;
}

mesh_io::MemorySource text_source(const std::string& text) {
  return mesh_io::MemorySource(std::as_bytes(std::span(text.data(), text.size())));
}

// The lines of a part, parsed before what comes before it is known.
void parse_part(Part& part) {
  part.clear_results();
  Parser parser(part, nullptr);
  mesh_io::MemorySource source = text_source(part.text);
  part.error = parse_lines(source, parser, part.lines);
}

// Some bytes, then an error: the last lines before the source failed.
class FailingSource final : public mesh_io::ByteSource {
 public:
  FailingSource(const std::string& text, ReadError error) : text_(text), error_(std::move(error)) {}
  ReadResult<std::span<const std::byte>> next() override {
    if (!given_) {
      given_ = true;
      if (!text_.empty()) return std::as_bytes(std::span(text_.data(), text_.size()));
    }
    return error_;
  }

 private:
  const std::string& text_;
  ReadError error_;
  bool given_ = false;
};

// The parts joined in file order.
class Joined {
 public:
  // `side_files` null: no library can be read.
  explicit Joined(mesh_io::SideFiles* side_files) : side_files_(side_files) {}
  // Joins `part`, parsed by parse_part; the first error of the file so far if it holds one.
  ReadStatus join(Part& part);
  // Parses the lines of `source` knowing what comes before them, and joins them.
  ReadStatus parse_and_join(Part& part, mesh_io::ByteSource& source);
  ReadResult<Mesh> finish();
  // The lines of the parts joined so far.
  std::uint64_t lines() const { return lines_; }

 private:
  void append(Part& part);
  void append_materials(const Part& part, std::size_t triangle_base);
  // The material stream and Mesh::materials, from the libraries and the usemtl names.
  void add_materials();

  mesh_io::SideFiles* side_files_;
  Mesh mesh_;
  base::PodVector<base::Point3> normals_;  // the vn table
  // The vn of each corner, once some corner names one: an entry per triangle.
  base::PodVector<mesh_io::Triangle> normal_triangles_;
  bool names_normals_ = false;  // some corner names a vn
  // The vt table, and the vt of each corner alike.
  base::PodVector<Uv> uvs_;
  base::PodVector<mesh_io::Triangle> uv_triangles_;
  bool names_uvs_ = false;
  // The names of usemtl (0: none yet) with how many usemtl name each, and each triangle's
  // name once some usemtl has come; the name in force.
  std::vector<std::string> material_names_ = {std::string()};
  std::vector<std::uint64_t> material_uses_ = {0};
  std::map<std::string, std::uint32_t, std::less<>> material_ids_;
  base::PodVector<std::uint32_t> face_materials_;
  bool uses_materials_ = false;
  std::uint32_t material_ = 0;
  std::vector<std::string> libraries_;
  // One per position once some vertex has a colour (NO_COLOUR for those without one).
  base::PodVector<mesh_io::Rgba> colours_;
  bool colours_above_one_ = false;
  std::int64_t largest_vertex_ = -1, largest_normal_ = -1;
  std::uint64_t largest_vertex_line_ = 0, largest_normal_line_ = 0;
  bool recognised_ = false;  // some line holds an OBJ statement
  std::uint64_t content_lines_ = 0;
  std::uint64_t lines_ = 0;
};

ReadStatus Joined::join(Part& part) {
  const auto positions = static_cast<std::int64_t>(mesh_.positions.size());
  const auto normals = static_cast<std::int64_t>(normals_.size());
  const auto uvs = static_cast<std::int64_t>(uvs_.size());
  if (part.error || positions + part.vertex_reach < 0 || normals + part.normal_reach < 0 ||
      uvs + part.uv_reach < 0 ||
      positions + static_cast<std::int64_t>(part.mesh.positions.size()) > MOST_ITEMS ||
      normals + static_cast<std::int64_t>(part.normals.size()) > MOST_ITEMS ||
      uvs + static_cast<std::int64_t>(part.uvs.size()) > MOST_ITEMS) {
    mesh_io::MemorySource source = text_source(part.text);
    return parse_and_join(part, source);
  }
  append(part);
  return {};
}

ReadStatus Joined::parse_and_join(Part& part, mesh_io::ByteSource& source) {
  part.clear_results();
  const Before before{mesh_.positions.size(), normals_.size(), uvs_.size(), lines_};
  Parser parser(part, &before);
  if (auto error = parse_lines(source, parser, part.lines)) return error;
  append(part);
  return {};
}

void Joined::append(Part& part) {
  const std::size_t vertex_base = mesh_.positions.size();
  const std::size_t normal_base = normals_.size();
  const std::size_t triangle_base = mesh_.triangles.size();
  mesh_.positions.append(part.mesh.positions.data(), part.mesh.positions.size());
  // Each part's colours, if any, are one per position of the part, at its vertex's index.
  if (!part.colours.empty()) {
    if (colours_.empty()) add_uncoloured(colours_, vertex_base);
    colours_.append(part.colours.data(), part.colours.size());
  } else if (!colours_.empty()) {
    add_uncoloured(colours_, part.mesh.positions.size());
  }
  colours_above_one_ = colours_above_one_ || part.colours_above_one;
  normals_.append(part.normals.data(), part.normals.size());
  mesh_.triangles.append(part.mesh.triangles.data(), part.mesh.triangles.size());
  for (const std::size_t slot : part.vertex_shifts) {
    VertexIndex& corner = mesh_.triangles[triangle_base + slot / 3].corners[slot % 3];
    corner = static_cast<VertexIndex>(corner + vertex_base);
  }
  const mesh_io::Triangle none = {{NO_NORMAL, NO_NORMAL, NO_NORMAL}};
  if (part.names_normals && !names_normals_) {
    names_normals_ = true;
    for (std::size_t i = 0; i < triangle_base; ++i) normal_triangles_.push_back(none);
  }
  if (part.names_normals) {
    const std::size_t base = normal_triangles_.size();
    normal_triangles_.append(part.normal_triangles.data(), part.normal_triangles.size());
    for (const std::size_t slot : part.normal_shifts) {
      VertexIndex& corner = normal_triangles_[base + slot / 3].corners[slot % 3];
      corner = static_cast<VertexIndex>(corner + normal_base);
    }
  } else if (names_normals_) {
    for (std::size_t i = 0; i < part.mesh.triangles.size(); ++i) normal_triangles_.push_back(none);
  }
  if (part.names_uvs || names_uvs_ || !part.uvs.empty()) {
    const std::size_t uv_base = uvs_.size();
    uvs_.append(part.uvs.data(), part.uvs.size());
    if (part.names_uvs && !names_uvs_) {
      names_uvs_ = true;
      for (std::size_t i = 0; i < triangle_base; ++i) uv_triangles_.push_back(none);
    }
    if (part.names_uvs) {
      const std::size_t base = uv_triangles_.size();
      uv_triangles_.append(part.uv_triangles.data(), part.uv_triangles.size());
      for (const std::size_t slot : part.uv_shifts) {
        VertexIndex& corner = uv_triangles_[base + slot / 3].corners[slot % 3];
        corner = static_cast<VertexIndex>(corner + uv_base);
      }
    } else if (names_uvs_) {
      for (std::size_t i = 0; i < part.mesh.triangles.size(); ++i) uv_triangles_.push_back(none);
    }
  }
  if (uses_materials_ || !part.material_runs.empty()) append_materials(part, triangle_base);
  libraries_.insert(libraries_.end(), part.libraries.begin(), part.libraries.end());
  mesh_.skipped_faces += part.mesh.skipped_faces;
  // Only positive indices can reach past the end; the first line of the largest wins.
  if (part.largest_vertex > largest_vertex_) {
    largest_vertex_ = part.largest_vertex;
    largest_vertex_line_ = lines_ + part.largest_vertex_line;
  }
  if (part.largest_normal > largest_normal_) {
    largest_normal_ = part.largest_normal;
    largest_normal_line_ = lines_ + part.largest_normal_line;
  }
  recognised_ = recognised_ || part.recognised;
  content_lines_ += part.content_lines;
  lines_ += part.lines;
}

void Joined::append_materials(const Part& part, std::size_t triangle_base) {
  if (!uses_materials_) {
    // The first usemtl: the triangles before it take the default.
    uses_materials_ = true;
    std::fill_n(face_materials_.extend(triangle_base), triangle_base, 0);
  }
  std::size_t from = 0;
  const auto fill_to = [&](std::size_t to) {
    std::fill_n(face_materials_.extend(to - from), to - from, material_);
    from = to;
  };
  for (const auto& [first, name] : part.material_runs) {
    fill_to(first);
    auto [at, added] =
        material_ids_.try_emplace(name, static_cast<std::uint32_t>(material_names_.size()));
    if (added) {
      material_names_.push_back(name);
      material_uses_.push_back(0);
    }
    material_ = at->second;
    ++material_uses_[material_];
  }
  fill_to(part.mesh.triangles.size());
}

void Joined::add_materials() {
  // Every library's materials after the default, in the order of the mtllib, each library
  // read once however often it is named; a name that two define is the first one's.
  std::vector<mesh_io::Material> materials(1);
  std::uint64_t unreadable = 0;
  std::set<std::string_view, std::less<>> seen;
  for (const std::string& name : libraries_) {
    if (!seen.insert(name).second) continue;
    std::optional<mesh_io::ReadResult<MaterialLibrary>> library;
    if (side_files_ != nullptr) {
      auto opened = side_files_->open(name);
      if (opened.ok()) {
        mesh_io::FileSource source(opened.value());
        library = read_mtl(source);
      }
    }
    if (!library || !library->ok()) {
      ++unreadable;
      continue;
    }
    for (mesh_io::Material& material : library->value().materials) {
      materials.push_back(std::move(material));
    }
    for (const Mesh::Ignored& ignored : library->value().ignored) {
      mesh_io::count_ignored(mesh_, ignored.what, ignored.count);
    }
  }
  mesh_io::count_ignored(mesh_, "material library that cannot be read", unreadable);
  if (!uses_materials_ || mesh_.triangles.empty()) return;
  // Each usemtl name's material, the default when no library defines it.
  std::map<std::string_view, std::uint32_t, std::less<>> defined;
  for (std::size_t i = 1; i < materials.size(); ++i) {
    defined.try_emplace(materials[i].name, static_cast<std::uint32_t>(i));
  }
  std::vector<std::uint32_t> index(material_names_.size(), 0);
  std::uint64_t unknown = 0;
  for (std::size_t id = 1; id < material_names_.size(); ++id) {
    const auto found = defined.find(material_names_[id]);
    if (found != defined.end()) {
      index[id] = found->second;
    } else {
      unknown += material_uses_[id];
    }
  }
  mesh_io::count_ignored(mesh_, "usemtl of an unknown material", unknown);
  for (std::uint32_t& item : face_materials_) item = index[item];
  mesh_.materials = std::move(materials);
  mesh_.streams.push_back(mesh_io::make_stream(std::string(mesh_io::MATERIAL_STREAM),
                                               mesh_io::Domain::Face, mesh_io::Element::UInt32,
                                               std::move(face_materials_)));
}

ReadResult<Mesh> Joined::finish() {
  if (content_lines_ != 0 && !recognised_) {
    return ReadError::invalid_data("OBJ: not a Wavefront OBJ file: none of its " +
                                   std::to_string(content_lines_) +
                                   " lines of content is an OBJ statement");
  }
  if (largest_vertex_ >= static_cast<std::int64_t>(mesh_.positions.size())) {
    return ReadError::invalid_data(at_line(largest_vertex_line_) +
                                   mesh_io::index_out_of_range(mesh_io::IndexedItem::Vertex,
                                                               largest_vertex_ + 1,
                                                               mesh_.positions.size()));
  }
  if (largest_normal_ >= static_cast<std::int64_t>(normals_.size())) {
    return ReadError::invalid_data(at_line(largest_normal_line_) +
                                   mesh_io::index_out_of_range(mesh_io::IndexedItem::Normal,
                                                               largest_normal_ + 1,
                                                               normals_.size()));
  }
  // Normals named only by skipped faces have no triangle to go with, and are left out.
  if (!normal_triangles_.empty()) {
    const auto zero = static_cast<VertexIndex>(normals_.size());
    bool uses_zero = false;
    for (mesh_io::Triangle& triangle : normal_triangles_) {
      for (VertexIndex& corner : triangle.corners) {
        if (corner == NO_NORMAL) {
          corner = zero;
          uses_zero = true;
        }
      }
    }
    if (uses_zero) normals_.push_back({0.0f, 0.0f, 0.0f});
    mesh_io::add_normals(mesh_, mesh_io::Domain::Corner, std::move(normals_),
                         std::move(normal_triangles_));
  }
  if (!colours_.empty()) {
    // OBJ has no say on the range of `v x y z r g b`: most writers put 0 to 1 there, some 0
    // to 255. A component above 1 anywhere in the file takes the whole file's colours for 0
    // to 255, divided by 255.
    const float scale = colours_above_one_ ? 255.0f : 1.0f;
    for (mesh_io::Rgba& colour : colours_) {
      if (colour.a == 0.0f) {
        colour = mesh_io::Rgba{};
      } else {
        colour = {colour.r / scale, colour.g / scale, colour.b / scale, 1.0f};
      }
    }
    mesh_io::add_colors(mesh_, std::move(colours_), {});
  }
  if (!uv_triangles_.empty()) {
    // The corners that name no vt take (0, 0), an item after the table. A triangle with a vt
    // index past the table loses its vt, all three (it keeps its surface: only its place in
    // the texture is wrong), and is counted.
    const auto zero = static_cast<VertexIndex>(uvs_.size());
    bool uses_zero = false;
    std::uint64_t out_of_range = 0;
    for (mesh_io::Triangle& triangle : uv_triangles_) {
      bool beyond = false;
      for (const VertexIndex corner : triangle.corners) {
        beyond = beyond || (corner != NO_NORMAL && corner >= zero);
      }
      if (beyond) {
        triangle = {{NO_NORMAL, NO_NORMAL, NO_NORMAL}};
        ++out_of_range;
      }
      for (VertexIndex& corner : triangle.corners) {
        if (corner == NO_NORMAL) {
          corner = zero;
          uses_zero = true;
        }
      }
    }
    mesh_io::count_ignored(mesh_, "face with a texture coordinate index out of range",
                           out_of_range);
    if (uses_zero) uvs_.push_back({0.0f, 0.0f});
    mesh_.streams.push_back(mesh_io::make_stream(std::string(mesh_io::UV_STREAM),
                                                 mesh_io::Domain::Corner, mesh_io::Element::Float32,
                                                 std::move(uvs_), std::move(uv_triangles_)));
  }
  if (uses_materials_ || !libraries_.empty()) add_materials();
  return std::move(mesh_);
}

// Where `text` may be cut: after its last line end that is not the end of a line going on
// in the next, nor a CR whose LF may follow; 0 when there is none. No line end before
// `checked` can be a cut (the text up to there was looked at before and had none), so the
// search stops there: a long line that arrives in small blocks costs the length of each block,
// not of the whole line so far.
std::size_t cut_point(std::string_view text, std::size_t checked) {
  std::size_t end = text.size();
  while (end > checked) {
    std::size_t at = end;
    while (at > checked && text[at - 1] != '\n' && text[at - 1] != '\r') --at;
    if (at == checked) return 0;
    const std::size_t cut = at;
    std::size_t line_end = at - 1;
    if (text[line_end] == '\r') {
      if (cut == text.size()) {
        end = line_end;
        continue;
      }
    } else if (line_end > 0 && text[line_end - 1] == '\r') {
      --line_end;
    }
    std::size_t last = line_end;
    while (last > 0 && text[last - 1] != '\r' && mesh_io::is_blank(text[last - 1])) --last;
    if (last == 0 || text[last - 1] != '\\') return cut;
    end = line_end;
  }
  return 0;
}

// Whether a statement longer than the bound may be cut after `head`, its first bytes: a
// comment, a statement that is ignored whatever follows its keyword, or one whose comment has
// begun (v, vn, vt and f read nothing after a token that starts with '#'). The keyword must end
// within the head: a line of one endless token (a device of zeros) is no statement.
bool may_cut(std::string_view head) {
  std::size_t begin = 0;
  while (begin < head.size() && mesh_io::is_blank(head[begin])) ++begin;
  if (begin < head.size() && head[begin] == '#') return true;
  std::size_t end = begin;
  while (end < head.size() && !mesh_io::is_blank(head[end])) ++end;
  if (end == begin || end == head.size()) return false;
  const std::string_view keyword = head.substr(begin, end - begin);
  if (keyword == "usemtl" || keyword == "mtllib") return false;
  if (keyword != "v" && keyword != "vn" && keyword != "vt" && keyword != "f") return true;
  for (std::size_t i = end; i + 1 < head.size(); ++i) {
    if (mesh_io::is_blank(head[i]) && head[i + 1] == '#') return true;
  }
  return false;
}

// Cuts the statement in `text` after its first `kept` bytes: of what follows, each stretch
// between line ends becomes its last byte that is not a blank, or nothing. The line ends
// stay, and so does whether each line goes on in the next (a backslash at its end), so the
// lines are numbered and joined as before; the rest of the statement, which may_cut found
// unread, is gone.
void cut_statement(std::string& text, std::size_t kept) {
  std::size_t out = kept;
  char last = 0;  // the last byte of the stretch that is not a blank
  for (std::size_t i = kept; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r') {
      if (last != 0) text[out++] = last;
      last = 0;
      text[out++] = c;
    } else if (!mesh_io::is_blank(c)) {
      last = c;
    }
  }
  if (last != 0) text[out++] = last;
  text.resize(out);
}

// A batch holds three parts a worker, each about a block of the source, for this many
// workers at most: two batches are in flight, whatever the pool's size.
constexpr std::size_t MOST_WORKERS = 8;

// A batch's parts are parsed on the workers when together they hold at least this much text.
constexpr std::size_t SMALL_BATCH_BYTES = std::size_t{64} << 10;

// Parts parsed on the workers: one job each, and one for the joins (JoinSchedule::
// BesideNextParse), which all run on the calling thread with a pool of one.
void run_on_workers(std::size_t jobs, const std::function<void(std::size_t)>& job) {
  const parallel::SequentialPasses one_worker(parallel::pool_size() == 1);
  parallel::run_chunks(
      jobs,
      [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) job(i);
      },
      jobs);
}

// The parts in flight: while one batch is parsed, the one before it is joined, on the
// workers both; the caller reads the next between the passes.
using Batches = mesh_io::OrderedParse<Part, ReadStatus>;

}  // namespace

// The end of the first line of `text`, after its line end (a CR LF whole); the end of the
// text when it has none.
std::size_t after_line_end(std::string_view text) {
  std::size_t end = 0;
  while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
  if (end == text.size()) return end;
  return end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
}

// Whether the statement in `text` ends with it: `text` ends with a line end (the LF of a CR
// LF taken, if any), and the line before it does not go on in the next.
bool ends_statement(std::string_view text) {
  if (text.empty() || (text.back() != '\n' && text.back() != '\r')) return false;
  std::size_t end = text.size() - 1;
  if (text[end] == '\n' && end > 0 && text[end - 1] == '\r') --end;
  return !continues(text.substr(0, end));
}

// The bytes of a statement without its final line end.
std::size_t statement_length(std::string_view statement) {
  std::size_t length = statement.size();
  if (length > 0 && statement[length - 1] == '\n') --length;
  if (length > 0 && statement[length - 1] == '\r') --length;
  return length;
}

ReadResult<Mesh> read_obj(mesh_io::ByteSource& source) {
  return read_obj_and_materials(source, nullptr);
}

ReadResult<Mesh> read_obj_and_materials(mesh_io::ByteSource& source,
                                        mesh_io::SideFiles* side_files) {
  TextDecoder text(source);
  Joined joined(side_files);
  Batches batches(
      3 * std::clamp<std::size_t>(parallel::pool_size(), 1, MOST_WORKERS),
      mesh_io::JoinSchedule::BesideNextParse, run_on_workers, parse_part,
      [&](Part& part) { return joined.join(part); }, SMALL_BATCH_BYTES);
  // The lines after the last cut: one statement, of lines continued by a backslash. Longer
  // than MAX_LINE_BYTES, it is held to them and its line ends when may_cut allows, and is an
  // error otherwise.
  std::string rest;
  bool cutting = false;  // the statement in rest is longer than the bound, and is cut
  // Continues the statement in `rest` (which it does not end) from `bytes`, a line at a time,
  // to its end or theirs, holding it to the bound; sets `taken` to the bytes it took.
  const auto extend = [&](std::string_view bytes, std::size_t& taken) -> ReadStatus {
    for (taken = 0;;) {
      if (rest.back() == '\r') {
        if (taken == bytes.size()) return {};  // its LF may come next
        if (bytes[taken] == '\n') {
          rest += '\n';
          ++taken;
        }
      }
      if (ends_statement(rest) || taken == bytes.size()) return {};
      const std::size_t line = after_line_end(bytes.substr(taken));
      rest.append(bytes.substr(taken, line));
      taken += line;
      if (statement_length(rest) > mesh_io::MAX_LINE_BYTES) {
        cutting = cutting || may_cut(std::string_view(rest).substr(0, mesh_io::MAX_LINE_BYTES));
        if (!cutting) {
          // The lines before it come first, and an error among them.
          if (auto error = batches.flush()) return error;
          return mesh_io::line_too_long("OBJ", joined.lines() + 1, mesh_io::MAX_LINE_BYTES);
        }
        cut_statement(rest, mesh_io::MAX_LINE_BYTES);
      }
    }
  };
  // Takes bytes of the text, at most MAX_LINE_BYTES of them: a statement longer than that
  // runs on past them, so it begins in `rest` and is held to the bound there.
  const auto take = [&](std::string_view bytes) -> ReadStatus {
    if (!rest.empty() && rest.size() + bytes.size() > mesh_io::MAX_LINE_BYTES) {
      std::size_t taken = 0;
      if (auto error = extend(bytes, taken)) return error;
      bytes.remove_prefix(taken);
    }
    Part& part = batches.next();
    // The lines kept from before hold no cut, but for a CR at their end, whose LF may be here.
    const std::size_t checked = rest.empty() ? 0 : rest.size() - 1;
    std::swap(part.text, rest);
    part.text.append(bytes);
    const std::size_t cut = cut_point(part.text, checked);
    if (cut == 0) {
      std::swap(part.text, rest);
      return {};
    }
    rest.assign(part.text, cut);
    part.text.resize(cut);
    cutting = false;
    return batches.add();
  };
  for (;;) {
    auto got = text.next();
    if (!got.ok()) {
      if (auto error = batches.flush()) return std::move(*error);
      // The lines before the failure are read as they would be: an error in them comes first.
      FailingSource failing(rest, std::move(got.error()));
      if (auto error = joined.parse_and_join(batches.next(), failing)) return std::move(*error);
      return ReadError::invalid_data("OBJ: the source failed");  // not reached
    }
    const std::string_view bytes(reinterpret_cast<const char*>(got.value().data()),
                                 got.value().size());
    if (bytes.empty()) break;
    for (std::size_t at = 0; at < bytes.size(); at += mesh_io::MAX_LINE_BYTES) {
      if (auto error = take(bytes.substr(at, mesh_io::MAX_LINE_BYTES))) return std::move(*error);
    }
  }
  if (!rest.empty()) {
    std::swap(batches.next().text, rest);
    if (auto error = batches.add()) return std::move(*error);
  }
  if (auto error = batches.flush()) return std::move(*error);
  return joined.finish();
}

}  // namespace vertisift::obj
