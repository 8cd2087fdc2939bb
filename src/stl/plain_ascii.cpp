#include "stl/plain_ascii.h"

#include <cstring>

#include "base/utf8.h"
#include "stl/ascii_reader.h"
#include "stl/float_parse.h"

namespace vertisift::stl {
namespace {

// ASCII white space apart from LF, which ends the line. A CR before the LF is white space
// here; the ASCII reader drops it, and the tokens are the same either way.
bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The token lines of a text, split as the ASCII reader splits lines of ASCII bytes.
class Lines {
 public:
  Lines(std::string_view text, std::size_t at, bool cr_ends_lines)
      : text_(text), at_(at), cr_ends_lines_(cr_ends_lines) {}

  std::size_t at() const { return at_; }
  const std::vector<std::string_view>& tokens() const { return tokens_; }
  // A line met so far had a CR before its last byte.
  bool inner_cr() const { return inner_cr_; }

  // The next line with a token, or with a byte above 0x7F or (with `cr_ends_lines`) a CR
  // before its last byte (`plain` false, tokens unspecified), and where it starts; false at
  // the end of the text.
  bool next(std::size_t& line_start, bool& plain) {
    while (at_ < text_.size()) {
      line_start = at_;
      const char* start = text_.data() + at_;
      const auto* lf = static_cast<const char*>(std::memchr(start, '\n', text_.size() - at_));
      const std::size_t length = lf ? static_cast<std::size_t>(lf - start) : text_.size() - at_;
      at_ += lf ? length + 1 : length;
      if (cr_ends_lines_ && length > 1) {
        const void* cr = std::memchr(start, '\r', length - 1);
        if (cr != nullptr) {
          plain = false;
          inner_cr_ = true;
          return true;
        }
      }
      plain =
          split_ascii_tokens(std::string_view(start, length), text_.data() + text_.size(), tokens_);
      if (!plain || !tokens_.empty()) return true;
    }
    return false;
  }

 private:
  std::string_view text_;
  std::size_t at_;
  bool cr_ends_lines_;
  bool inner_cr_ = false;
  std::vector<std::string_view> tokens_;
};

// The first token of the line that starts at `at`: "facet" or "endsolid" alone counts.
bool starts_facet(std::string_view text, std::size_t at) {
  while (at < text.size() && is_blank(text[at])) ++at;
  for (std::string_view keyword : {std::string_view("facet"), std::string_view("endsolid")}) {
    if (text.substr(at, keyword.size()) == keyword) {
      const std::size_t after = at + keyword.size();
      if (after == text.size() || is_blank(text[after]) || text[after] == '\n') return true;
    }
  }
  return false;
}

// An endsolid line ends the faces only when the ASCII reader would take it for one: its
// first token, in a line of valid UTF-8 (the reader checks a line before splitting it).
bool ends_faces(std::string_view text, std::size_t at) {
  const auto* lf = static_cast<const char*>(std::memchr(text.data() + at, '\n', text.size() - at));
  const std::size_t end = lf ? static_cast<std::size_t>(lf - text.data()) : text.size();
  std::size_t i = at;
  while (i < end && is_blank(text[i])) ++i;
  constexpr std::string_view keyword = "endsolid";
  if (text.substr(i, keyword.size()) != keyword) return false;
  i += keyword.size();
  // Past the keyword, white space (perhaps beyond ASCII) must follow: a non-ASCII byte here
  // is left to the reader.
  if (i < end && !is_blank(text[i])) return false;
  return base::is_valid_utf8(text.substr(at, end - at));
}

}  // namespace

PlainParse parse_plain_facets(std::string_view text, std::size_t begin, std::size_t end,
                              std::vector<mesh_io::RawFace>& faces, bool cr_ends_lines) {
  Lines lines(text, begin, cr_ends_lines);
  std::size_t start = begin;
  bool plain = true;
  const std::vector<std::string_view>& tokens = lines.tokens();
  mesh_io::RawFace face;
  auto next_is = [&](std::string_view keyword, std::size_t count) {
    return lines.next(start, plain) && plain && tokens.size() == count && tokens[0] == keyword;
  };
  auto next_is_vertex = [&](base::Point3& point) {
    return next_is("vertex", 4) && !parse_coordinates(&tokens[1], point);
  };
  for (;;) {
    // Between facets: blank lines up to the next token line are skipped.
    if (!lines.next(start, plain)) {
      return {lines.at() == end ? PlainStop::Clean : PlainStop::Departure, lines.at()};
    }
    if (start >= end) return {start == end ? PlainStop::Clean : PlainStop::Departure, start};
    if (lines.inner_cr()) return {PlainStop::Departure, start};
    if (!plain || tokens[0] == "endsolid") {
      return {ends_faces(text, start) ? PlainStop::Endsolid : PlainStop::Departure, start};
    }
    const std::size_t facet_start = start;
    if (tokens.size() != 5 || tokens[0] != "facet" || tokens[1] != "normal" ||
        parse_coordinates(&tokens[2], face.normal) || !next_is("outer", 2) || tokens[1] != "loop" ||
        !next_is_vertex(face.vertices[0]) || !next_is_vertex(face.vertices[1]) ||
        !next_is_vertex(face.vertices[2]) || !next_is("endloop", 1) || !next_is("endfacet", 1))
        [[unlikely]] {
      return {PlainStop::Departure, facet_start};
    }
    faces.push_back(face);
  }
}

std::size_t next_facet_start(std::string_view text, std::size_t from, std::size_t end) {
  while (from < end) {
    if (starts_facet(text, from)) return from;
    const auto* lf = static_cast<const char*>(std::memchr(text.data() + from, '\n', end - from));
    if (lf == nullptr) break;
    from = static_cast<std::size_t>(lf - text.data()) + 1;
  }
  return end;
}

std::size_t last_facet_start(std::string_view text, std::size_t from, std::size_t end) {
  std::size_t line_end = end;
  while (line_end > from) {
    // The line that ends just before `line_end` starts after the LF before it, or at `from`.
    std::size_t start = line_end - 1;
    while (start > from && text[start - 1] != '\n') --start;
    if (starts_facet(text, start)) return start;
    line_end = start;
  }
  return from;
}

}  // namespace vertisift::stl
