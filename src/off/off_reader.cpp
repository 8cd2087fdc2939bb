#include "off/off_reader.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mesh_io/byte_order.h"
#include "mesh_io/line_reader.h"
#include "mesh_io/quote.h"
#include "mesh_io/reader_messages.h"
#include "mesh_io/text_numbers.h"

namespace vertisift::off {

using mesh_io::Mesh;
using mesh_io::quote;
using mesh_io::ReadError;
using mesh_io::ReadResult;
using mesh_io::VertexIndex;

namespace {

// What the header keyword announces.
struct Layout {
  bool texture = false;      // ST: s t after the colour
  bool colours = false;      // C: a colour after the normal
  bool normals = false;      // N: nx ny nz after the position
  bool homogeneous = false;  // 4: w after x y z
  bool dimension = false;    // n: the dimension comes before the counts
  bool binary = false;
};

constexpr std::uint64_t MOST_VERTICES = std::uint64_t{1} << 32;

std::string at_line(std::uint64_t line) { return "OFF line " + std::to_string(line) + ": "; }

void skip_blanks(std::string_view& rest) {
  std::size_t i = 0;
  while (i < rest.size() && mesh_io::is_blank(rest[i])) ++i;
  rest.remove_prefix(i);
}

// The line without its comment and without blanks at either end.
std::string_view content_of(std::string_view line) {
  const std::size_t hash = line.find('#');
  if (hash != std::string_view::npos) line = line.substr(0, hash);
  skip_blanks(line);
  while (!line.empty() && mesh_io::is_blank(line.back())) line.remove_suffix(1);
  return line;
}

// A token ends at a blank or where a comment starts.
bool ends_token(char c) { return mesh_io::is_blank(c) || c == '#'; }

// Nothing after a '#' is read: a line longer than the bound may be cut when its first bytes
// hold one.
bool comment_begun(std::string_view head) { return head.find('#') != std::string_view::npos; }

// The next line of the body that holds anything but blanks and a comment, blanks before it
// skipped, its end (and a comment there) left on: the numbers are read up to a '#'. False at
// the end of the file.
inline ReadResult<bool> next_body_line(mesh_io::LineReader& lines, std::string_view& content) {
  for (;;) {
    std::string_view line;
    auto got = lines.next(line, comment_begun);
    if (!got.ok() || !got.value()) return got;
    skip_blanks(line);
    if (!line.empty() && line[0] != '#') {
      content = line;
      return true;
    }
  }
}

// The next line that holds anything but blanks and a comment, as content_of gives it; false
// at the end of the file.
ReadResult<bool> next_content(mesh_io::LineReader& lines, std::string_view& content) {
  for (;;) {
    std::string_view line;
    auto got = lines.next(line, comment_begun);
    if (!got.ok() || !got.value()) return got;
    content = content_of(line);
    if (!content.empty()) return true;
  }
}

// Geomview lets an appearance block come before the header: the word "appearance", then a
// block in braces, which may nest, over any lines (comments in it are comments; a quoted
// string may hold braces). When `content` begins one, skips it and leaves `content` at what
// follows its closing brace, or at the next line of content; false at the end of the file.
ReadResult<bool> skip_appearance(mesh_io::LineReader& lines, std::string_view& content) {
  constexpr std::string_view WORD = "appearance";
  if (!content.starts_with(WORD) ||
      (content.size() > WORD.size() && !mesh_io::is_blank(content[WORD.size()]) &&
       content[WORD.size()] != '{')) {
    return true;
  }
  const std::uint64_t first_line = lines.line_number();
  std::string_view rest = content.substr(WORD.size());
  unsigned depth = 0;
  bool quoted = false;
  for (;;) {
    for (std::size_t i = 0; i < rest.size(); ++i) {
      const char c = rest[i];
      if (depth == 0) {
        if (mesh_io::is_blank(c)) continue;
        if (c != '{') {
          return ReadError::invalid_data(at_line(lines.line_number()) +
                                         "expected \"{\" after appearance, got " +
                                         quote(rest.substr(i)));
        }
        depth = 1;
      } else if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && c == '{') {
        ++depth;
      } else if (!quoted && c == '}' && --depth == 0) {
        content = rest.substr(i + 1);
        skip_blanks(content);
        return content.empty() ? next_content(lines, content) : ReadResult<bool>(true);
      }
    }
    auto more = next_content(lines, rest);
    if (!more.ok()) return std::move(more.error());
    if (!more.value()) {
      return ReadError::unexpected_eof(
          "OFF: the file ends at line " + std::to_string(lines.line_number()) +
          ", in the appearance block that begins at line " + std::to_string(first_line));
    }
  }
}

// The next token of `rest` as a float, `rest` advanced past it; false when there is none or
// it is not a number.
bool next_float(std::string_view& rest, float& value) {
  skip_blanks(rest);
  const char* at = rest.data();
  const char* end = at + rest.size();
  if (!mesh_io::scan_float<ends_token>(at, end, value)) return false;
  rest = std::string_view(at, end);
  return true;
}

bool next_integer(std::string_view& rest, std::int64_t& value) {
  skip_blanks(rest);
  const char* at = rest.data();
  const char* end = at + rest.size();
  if (!mesh_io::scan_integer<ends_token>(at, end, value)) return false;
  rest = std::string_view(at, end);
  return true;
}

// The numbers that may hold a colour, as the file writes them, and what follows them.
struct ColourNumbers {
  float values[6];
  unsigned count = 0;         // numbers read
  unsigned integer_bits = 0;  // bit k: number k is written as an integer
  bool more = false;          // something follows them: one number too many, or no number
};

// The numbers at the start of `rest`, at most `most` (up to 6), up to the end of the line or
// a comment. A number is an integer when scan_integer takes the whole token.
ColourNumbers take_colour_numbers(std::string_view rest, unsigned most) {
  ColourNumbers numbers;
  for (;;) {
    skip_blanks(rest);
    if (rest.empty() || rest[0] == '#') return numbers;
    if (numbers.count == most) break;
    const char* at = rest.data();
    const char* end = at + rest.size();
    std::int64_t integer = 0;
    float& value = numbers.values[numbers.count];
    if (mesh_io::scan_integer<ends_token>(at, end, integer)) {
      value = static_cast<float>(integer);
      numbers.integer_bits |= 1u << numbers.count;
    } else if (!mesh_io::scan_float<ends_token>(at, end, value)) {
      break;
    }
    ++numbers.count;
    rest = std::string_view(at, end);
  }
  numbers.more = true;
  return numbers;
}

// The colour of the first `components` (3 or 4) of `numbers`: 0 to 255 when every one of
// them is an integer, 0 to 1 as stored otherwise.
mesh_io::Rgba colour_of(const ColourNumbers& numbers, unsigned components) {
  const float* v = numbers.values;
  const unsigned all = (1u << components) - 1;
  if ((numbers.integer_bits & all) != all) {
    return {v[0], v[1], v[2], components == 4 ? v[3] : 1.0f};
  }
  // Divided, not multiplied by 1/255, so that 255 is exactly 1.
  return {v[0] / 255.0f, v[1] / 255.0f, v[2] / 255.0f, components == 4 ? v[3] / 255.0f : 1.0f};
}

// The face colours of a body: an item per triangle from the first coloured face on (white
// for the triangles before it and for those of faces without one). Colour-map indices are
// counted.
class FaceColours {
 public:
  // The face that added the triangles from `first` to `mesh`'s last, of `colour`.
  void add(const Mesh& mesh, std::size_t first, const mesh_io::Rgba& colour) {
    if (items_.empty()) fill(first);
    std::fill_n(items_.extend(mesh.triangles.size() - first), mesh.triangles.size() - first,
                colour);
  }
  // A face without a colour, whose triangles (if any) are `mesh`'s last.
  void add_uncoloured(const Mesh& mesh) {
    if (!items_.empty()) fill(mesh.triangles.size());
  }
  void add_map_index() { ++map_indices_; }

  // The colour stream of `vertex_colours` or of the faces into `mesh` (mesh_io::add_colors
  // chooses).
  void finish(Mesh& mesh, base::PodVector<mesh_io::Rgba>&& vertex_colours) {
    if (!items_.empty()) fill(mesh.triangles.size());
    mesh_io::add_colors(mesh, std::move(vertex_colours), std::move(items_));
    mesh_io::count_ignored(mesh, "colour-map index", map_indices_);
  }

 private:
  // White up to `triangles` items.
  void fill(std::size_t triangles) {
    const std::size_t missing = triangles - items_.size();
    std::fill_n(items_.extend(missing), missing, mesh_io::Rgba{});
  }

  base::PodVector<mesh_io::Rgba> items_;
  std::uint64_t map_indices_ = 0;
};

// The colour after the last index of a text face, in `rest`, for the face's triangles from
// `first` on: 1 number (a colour-map index), 3 or 4; anything else is no colour.
void add_face_colour(std::string_view rest, const Mesh& mesh, std::size_t first,
                     FaceColours& colours) {
  const ColourNumbers numbers = take_colour_numbers(rest, 4);
  if (!numbers.more && numbers.count == 1) {
    colours.add_map_index();
  } else if (!numbers.more && numbers.count >= 3) {
    colours.add(mesh, first, colour_of(numbers, numbers.count));
  } else {
    colours.add_uncoloured(mesh);
  }
}

// Takes [ST][C][N][4][n]OFF from the start of `text`. The keyword ends at a blank, the end of
// the text or a digit (counts glued to it).
bool take_keyword(std::string_view& text, Layout& layout) {
  Layout found;
  std::size_t i = 0;
  if (text.starts_with("ST")) {
    found.texture = true;
    i = 2;
  }
  if (i < text.size() && text[i] == 'C') found.colours = ++i != 0;
  if (i < text.size() && text[i] == 'N') found.normals = ++i != 0;
  if (i < text.size() && text[i] == '4') found.homogeneous = ++i != 0;
  if (i < text.size() && text[i] == 'n') found.dimension = ++i != 0;
  if (text.substr(i, 3) != "OFF") return false;
  i += 3;
  if (i < text.size() && !mesh_io::is_blank(text[i]) && (text[i] < '0' || text[i] > '9')) {
    return false;
  }
  text.remove_prefix(i);
  layout = found;
  return true;
}

// "vertices faces [edges]": the whole text, two or three whole numbers none negative.
bool parse_counts(std::string_view text, std::int64_t& vertices, std::int64_t& faces) {
  std::int64_t edges = 0;
  if (!next_integer(text, vertices) || !next_integer(text, faces)) return false;
  skip_blanks(text);
  if (!text.empty() && (!next_integer(text, edges) || (skip_blanks(text), !text.empty()))) {
    return false;
  }
  return vertices >= 0 && faces >= 0 && edges >= 0;
}

// The numbers of one vertex line, for messages.
std::string vertex_numbers(const Layout& layout) {
  const unsigned count = 3 + (layout.homogeneous ? 1u : 0u) + (layout.normals ? 3u : 0u);
  if (count == 3) return "3 vertex coordinates";
  std::string text = std::to_string(count) + " numbers (x y z";
  if (layout.homogeneous) text += " w";
  if (layout.normals) text += " nx ny nz";
  return text + ")";
}

// x, y and z of a homogeneous position: divided by w unless w is 0 or 1.
base::Point3 position_of(const float* values, bool homogeneous) {
  base::Point3 point{values[0], values[1], values[2]};
  if (homogeneous && values[3] != 0.0f && values[3] != 1.0f) {
    point = {values[0] / values[3], values[1] / values[3], values[2] / values[3]};
  }
  return point;
}

// The position of a vertex, and its normal for NOFF, from the numbers of its record (kept in
// the loops that read them).
[[gnu::always_inline]] inline void add_vertex(Mesh& mesh, base::PodVector<base::Point3>& normals,
                                              const float* values, const Layout& layout) {
  mesh.positions.push_back(position_of(values, layout.homogeneous));
  if (layout.normals) {
    const float* normal = values + (layout.homogeneous ? 4 : 3);
    normals.push_back({normal[0], normal[1], normal[2]});
  }
}

ReadResult<Mesh> read_text_body(mesh_io::LineReader& lines, const Layout& layout,
                                std::int64_t vertex_count, std::int64_t face_count) {
  Mesh mesh;
  base::PodVector<base::Point3> normals;
  base::PodVector<mesh_io::Rgba> vertex_colours;
  std::string_view content;
  const std::size_t numbers = 3 + (layout.homogeneous ? 1u : 0u) + (layout.normals ? 3u : 0u);
  for (std::int64_t i = 0; i < vertex_count; ++i) {
    auto got = next_body_line(lines, content);
    if (!got.ok()) return std::move(got.error());
    if (!got.value()) {
      return ReadError::unexpected_eof(mesh_io::ends_after(
          "OFF", "line " + std::to_string(lines.line_number()), static_cast<std::uint64_t>(i),
          static_cast<std::uint64_t>(vertex_count), "vertices"));
    }
    float values[7];
    std::string_view rest = content;
    for (std::size_t k = 0; k < numbers; ++k) {
      if (!next_float(rest, values[k])) {
        return ReadError::invalid_data(at_line(lines.line_number()) + "expected " +
                                       vertex_numbers(layout) + ", got " +
                                       quote(content_of(content)));
      }
    }
    add_vertex(mesh, normals, values, layout);
    if (layout.colours) {
      // r g b [a], then s t for ST: of 5 numbers, the last 2 are s t.
      const ColourNumbers numbers = take_colour_numbers(rest, layout.texture ? 6 : 4);
      const unsigned components =
          std::min(layout.texture && numbers.count >= 5 ? numbers.count - 2 : numbers.count, 4u);
      if (components < 3) {
        return ReadError::invalid_data(
            at_line(lines.line_number()) + "expected the vertex colour (r g b [a]) after " +
            vertex_numbers(layout) + ", got " + quote(content_of(content)));
      }
      vertex_colours.push_back(colour_of(numbers, components));
    }
  }
  FaceColours face_colours;
  std::vector<VertexIndex> corners;
  for (std::int64_t f = 0; f < face_count; ++f) {
    const auto ends = [&] {
      return ReadError::unexpected_eof(mesh_io::ends_after(
          "OFF", "line " + std::to_string(lines.line_number()), static_cast<std::uint64_t>(f),
          static_cast<std::uint64_t>(face_count), "faces"));
    };
    auto got = next_body_line(lines, content);
    if (!got.ok()) return std::move(got.error());
    if (!got.value()) return ends();
    // The face is read through a pointer, which the common path keeps in a register; the
    // general reading of a number takes a string_view of the rest.
    const char* p = content.data();
    const char* end = p + content.size();
    std::int64_t size = 0;
    if (!mesh_io::scan_integer<ends_token>(p, end, size) || size < 0) {
      return ReadError::invalid_data(at_line(lines.line_number()) +
                                     "expected the corner count of a face, got " +
                                     quote(content_of(content)));
    }
    corners.clear();
    // The indices run on over the following lines until the face has them all.
    while (static_cast<std::int64_t>(corners.size()) < size) {
      while (p < end && mesh_io::is_blank(*p)) ++p;
      if (p == end || *p == '#') {
        got = next_body_line(lines, content);
        if (!got.ok()) return std::move(got.error());
        if (!got.value()) return ends();
        p = content.data();
        end = p + content.size();
      }
      std::int64_t index = 0;
      const char* at = p;
      if (mesh_io::scan_integer<ends_token>(at, end, index) && index >= 0 && index < vertex_count) {
        corners.push_back(static_cast<VertexIndex>(index));
        p = at;
        continue;
      }
      const std::string_view before(p, end);
      std::string_view rest = before;
      if (!next_integer(rest, index)) {
        std::string_view token = before;
        return ReadError::invalid_data(at_line(lines.line_number()) +
                                       "expected a vertex index, got " +
                                       quote(mesh_io::next_token(token)));
      }
      if (index < 0 || index >= vertex_count) {
        return ReadError::invalid_data(
            at_line(lines.line_number()) +
            mesh_io::index_out_of_range(mesh_io::IndexedItem::Vertex, index,
                                        static_cast<std::uint64_t>(vertex_count)));
      }
      corners.push_back(static_cast<VertexIndex>(index));
      p = rest.data();
    }
    const std::size_t first = mesh.triangles.size();
    mesh_io::add_polygon(mesh, corners);
    // The rest of the line of the last index: a colour, or nothing to read.
    while (p < end && mesh_io::is_blank(*p)) ++p;
    if (p != end && *p != '#') [[unlikely]] {
      add_face_colour(std::string_view(p, end), mesh, first, face_colours);
    } else {
      face_colours.add_uncoloured(mesh);
    }
  }
  mesh_io::add_normals(mesh, mesh_io::Domain::Vertex, std::move(normals));
  face_colours.finish(mesh, std::move(vertex_colours));
  return mesh;
}

// The binary body read one way: big- or little-endian words, with or without a colour count
// after each face. `reached` is where the reading stopped, in the body.
class BinaryBody {
 public:
  BinaryBody(std::span<const std::byte> bytes, std::uint64_t base, bool big_endian)
      : bytes_(bytes), base_(base), order_(big_endian ? std::endian::big : std::endian::little) {}

  bool word(std::uint32_t& value) {
    if (bytes_.size() - at_ < 4) return false;
    value = mesh_io::load<std::uint32_t>(bytes_.data() + at_, order_);
    at_ += 4;
    return true;
  }
  bool integer(std::int64_t& value) {
    std::uint32_t bits = 0;
    if (!word(bits)) return false;
    value = static_cast<std::int32_t>(bits);
    return true;
  }
  bool number(float& value) {
    std::uint32_t bits = 0;
    if (!word(bits)) return false;
    value = std::bit_cast<float>(bits);
    return true;
  }
  std::size_t words_left() const { return (bytes_.size() - at_) / 4; }
  std::size_t at() const { return at_; }
  std::span<const std::byte> rest() const { return bytes_.subspan(at_); }
  // "OFF byte N: " for the word `back` bytes before where the reading stands (by default the
  // word just read).
  std::string where(std::size_t back = 4) const {
    return "OFF byte " + std::to_string(base_ + at_ - back) + ": ";
  }
  std::string end_text() const { return "OFF: the file ends at " + end_where() + ", "; }
  // The file cut short after `done` of the `count` items its header counts.
  ReadError ends_after(std::uint64_t done, std::int64_t count, std::string_view items) const {
    return ReadError::unexpected_eof(
        mesh_io::ends_after("OFF", end_where(), done, static_cast<std::uint64_t>(count), items));
  }

 private:
  std::string end_where() const { return "byte " + std::to_string(base_ + bytes_.size()); }

  std::span<const std::byte> bytes_;
  std::uint64_t base_;
  std::endian order_;
  std::size_t at_ = 0;
};

ReadResult<Mesh> read_binary_body(BinaryBody& body, const Layout& layout, bool colour_counts) {
  if (layout.dimension) {
    std::int64_t dimension = 0;
    if (!body.integer(dimension))
      return ReadError::unexpected_eof(body.end_text() + "in the header");
    if (dimension != 3) {
      return ReadError::invalid_data(body.where() + "only dimension 3 is read, the file has " +
                                     std::to_string(dimension));
    }
  }
  std::int64_t vertex_count = 0, face_count = 0, edge_count = 0;
  if (!body.integer(vertex_count) || !body.integer(face_count) || !body.integer(edge_count)) {
    return ReadError::unexpected_eof(body.end_text() + "in the header");
  }
  if (vertex_count < 0 || face_count < 0) {
    return ReadError::invalid_data(body.where(12) + "expected the vertex and face counts, got " +
                                   std::to_string(vertex_count) + " and " +
                                   std::to_string(face_count));
  }
  const std::size_t numbers = 3 + (layout.homogeneous ? 1u : 0u) + (layout.normals ? 3u : 0u) +
                              (layout.colours ? 4u : 0u) + (layout.texture ? 2u : 0u);
  // A count the body cannot hold ends the reading before any vertex, so that a wrong byte
  // order, which reads huge counts, stops at the header.
  if (static_cast<std::uint64_t>(vertex_count) > body.words_left() / numbers) {
    return body.ends_after(body.words_left() / numbers, vertex_count, "vertices");
  }
  Mesh mesh;
  base::PodVector<base::Point3> normals;
  base::PodVector<mesh_io::Rgba> vertex_colours;
  const std::size_t colour_at = 3 + (layout.homogeneous ? 1u : 0u) + (layout.normals ? 3u : 0u);
  for (std::int64_t i = 0; i < vertex_count; ++i) {
    float values[16];
    for (std::size_t k = 0; k < numbers; ++k) {
      if (!body.number(values[k])) {
        return body.ends_after(static_cast<std::uint64_t>(i), vertex_count, "vertices");
      }
    }
    add_vertex(mesh, normals, values, layout);
    if (layout.colours) {
      const float* c = values + colour_at;
      vertex_colours.push_back({c[0], c[1], c[2], c[3]});
    }
  }
  FaceColours face_colours;
  std::vector<VertexIndex> corners;
  for (std::int64_t f = 0; f < face_count; ++f) {
    const auto ends = [&] {
      return body.ends_after(static_cast<std::uint64_t>(f), face_count, "faces");
    };
    std::int64_t size = 0;
    if (!body.integer(size)) return ends();
    if (size < 0) {
      return ReadError::invalid_data(body.where() + "expected the corner count of a face, got " +
                                     std::to_string(size));
    }
    if (static_cast<std::uint64_t>(size) > body.words_left()) return ends();
    corners.clear();
    for (std::int64_t k = 0; k < size; ++k) {
      std::int64_t index = 0;
      (void)body.integer(index);
      if (index < 0 || index >= vertex_count) {
        return ReadError::invalid_data(
            body.where() + mesh_io::index_out_of_range(mesh_io::IndexedItem::Vertex, index,
                                                       static_cast<std::uint64_t>(vertex_count)));
      }
      corners.push_back(static_cast<VertexIndex>(index));
    }
    const std::size_t first = mesh.triangles.size();
    mesh_io::add_polygon(mesh, corners);
    std::int64_t colour_count = 0;
    float colour[4];
    if (colour_counts) {
      if (!body.integer(colour_count)) return ends();
      if (colour_count < 0 || colour_count > 4) {
        return ReadError::invalid_data(body.where() + "expected a colour count of 0 to 4, got " +
                                       std::to_string(colour_count));
      }
      for (std::int64_t k = 0; k < colour_count; ++k) {
        if (!body.number(colour[k])) return ends();
      }
    }
    // 1 float: an index into a colour map; 2: no colour, as in the text.
    if (colour_count == 1) {
      face_colours.add_map_index();
    } else if (colour_count >= 3) {
      face_colours.add(mesh, first,
                       {colour[0], colour[1], colour[2], colour_count == 4 ? colour[3] : 1.0f});
    } else {
      face_colours.add_uncoloured(mesh);
    }
  }
  for (const std::byte byte : body.rest()) {
    const auto c = static_cast<char>(byte);
    if (c != '\n' && c != '\r' && !mesh_io::is_blank(c)) {
      return ReadError::invalid_data(body.where(0) + std::to_string(body.rest().size()) +
                                     " bytes follow the last face");
    }
  }
  mesh_io::add_normals(mesh, mesh_io::Domain::Vertex, std::move(normals));
  face_colours.finish(mesh, std::move(vertex_colours));
  return mesh;
}

ReadResult<Mesh> read_binary(mesh_io::LineReader& lines, const Layout& layout) {
  const std::uint64_t base = lines.offset();
  std::vector<std::byte> bytes;
  for (;;) {
    auto got = lines.next_bytes();
    if (!got.ok()) return std::move(got.error());
    if (got.value().empty()) break;
    bytes.insert(bytes.end(), got.value().begin(), got.value().end());
  }
  // Geomview's layout first, then the little-endian one without colour counts, then the
  // other two mixtures; the first that reads to the end wins. When none does, the error of
  // the reading that got furthest is the likeliest to say what is wrong.
  constexpr struct {
    bool big_endian, colour_counts;
  } LAYOUTS[] = {{true, true}, {false, false}, {false, true}, {true, false}};
  std::optional<ReadError> best;
  std::size_t furthest = 0;
  for (const auto& candidate : LAYOUTS) {
    BinaryBody body(bytes, base, candidate.big_endian);
    auto mesh = read_binary_body(body, layout, candidate.colour_counts);
    if (mesh.ok()) return mesh;
    if (!best || body.at() > furthest) {
      best = std::move(mesh.error());
      furthest = body.at();
    }
  }
  return std::move(*best);
}

}  // namespace

ReadResult<Mesh> read_off(mesh_io::ByteSource& source) {
  mesh_io::LineReader lines(source, "OFF");
  std::string_view content;
  auto got = next_content(lines, content);
  if (got.ok() && got.value()) got = skip_appearance(lines, content);
  if (!got.ok()) return std::move(got.error());
  if (!got.value()) return ReadError::unexpected_eof("OFF: the file ends before the header");

  Layout layout;
  std::string_view rest = content;
  std::int64_t vertex_count = 0, face_count = 0;
  const bool keyword = take_keyword(rest, layout);
  if (!keyword) {
    // Geomview lets the keyword out: then the first line is the counts.
    if (!parse_counts(content, vertex_count, face_count)) {
      return ReadError::invalid_data(
          at_line(lines.line_number()) +
          "not an OFF file: expected the OFF keyword or the vertex and face counts, got " +
          quote(content));
    }
  } else {
    skip_blanks(rest);
    if (rest.starts_with("BINARY")) {
      std::string_view after = rest.substr(6);
      skip_blanks(after);
      if (after.empty()) {
        layout.binary = true;
        return read_binary(lines, layout);
      }
    }
    // The rest of the header: the dimension (nOFF) and the counts, on this line or the next.
    const auto take_line = [&]() -> ReadResult<bool> {
      skip_blanks(rest);
      if (!rest.empty()) return true;
      auto more = next_content(lines, content);
      if (!more.ok() || !more.value()) return more;
      rest = content;
      return true;
    };
    const auto header_ends = [&] {
      return ReadError::unexpected_eof("OFF: the file ends at line " +
                                       std::to_string(lines.line_number()) +
                                       ", before the vertex and face counts");
    };
    if (layout.dimension) {
      auto more = take_line();
      if (!more.ok()) return std::move(more.error());
      if (!more.value()) return header_ends();
      std::int64_t dimension = 0;
      const std::string_view line = rest;
      if (!next_integer(rest, dimension) || dimension != 3) {
        return ReadError::invalid_data(at_line(lines.line_number()) +
                                       "expected the dimension 3 (the only one read), got " +
                                       quote(line));
      }
    }
    auto more = take_line();
    if (!more.ok()) return std::move(more.error());
    if (!more.value()) return header_ends();
    if (!parse_counts(rest, vertex_count, face_count)) {
      return ReadError::invalid_data(at_line(lines.line_number()) +
                                     "expected the vertex and face counts, got " + quote(rest));
    }
  }
  if (static_cast<std::uint64_t>(vertex_count) > MOST_VERTICES) {
    return ReadError::invalid_data(
        at_line(lines.line_number()) +
        mesh_io::too_many_vertices(static_cast<std::uint64_t>(vertex_count)));
  }
  return read_text_body(lines, layout, vertex_count, face_count);
}

}  // namespace vertisift::off
