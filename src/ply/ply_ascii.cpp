// ASCII PLY data: one record a row, values separated by blanks, read in one pass with the
// scanners of mesh_io.
#include <cstdint>

#include "mesh_io/quote.h"
#include "mesh_io/text_numbers.h"
#include "ply/ply_body.h"

namespace vertisift::ply {
namespace {

using mesh_io::quote;
using mesh_io::ReadError;

// The text readers' number scanners, ending at a blank.
inline bool scan_float(const char*& p, const char* end, float& value) {
  return mesh_io::scan_float<mesh_io::is_blank>(p, end, value);
}
inline bool scan_integer(const char*& p, const char* end, std::int64_t& value) {
  return mesh_io::scan_integer<mesh_io::is_blank>(p, end, value);
}

// A number of `type` as the nearest float.
bool scan_number(const char*& p, const char* end, ScalarType type, float& value) {
  if (!is_integer(type)) return scan_float(p, end, value);
  std::int64_t whole = 0;
  if (!scan_integer(p, end, whole)) return false;
  value = static_cast<float>(whole);
  return true;
}

inline const char* token_end(const char* p, const char* end) {
  while (p < end && !mesh_io::is_blank(*p)) ++p;
  return p;
}

inline void skip_blanks(const char*& p, const char* end) {
  while (p < end && mesh_io::is_blank(*p)) ++p;
}

bool is_blank_line(std::string_view line) {
  for (char c : line) {
    if (!mesh_io::is_blank(c)) return false;
  }
  return true;
}

class RowReader {
 public:
  RowReader(mesh_io::LineReader& lines, MeshBuilder& builder) : lines_(lines), builder_(builder) {}

  mesh_io::ReadStatus read(const Element& element) {
    float values[ROLE_COUNT] = {};              // by Role
    values[static_cast<int>(Role::Alpha)] = 1;  // unless the element has one
    const bool textures = element.has_textures();
    for (std::uint64_t record = 0; record < element.count; ++record) {
      std::string_view line;
      do {
        auto got = lines_.next(line);
        if (!got.ok()) return std::move(got.error());
        if (!got.value()) {
          return ends_in("line " + std::to_string(lines_.line_number()), record, element);
        }
      } while (is_blank_line(line));
      line_ = line;
      const char* p = line.data();
      const char* end = p + line.size();
      for (const Property& property : element.properties) {
        skip_blanks(p, end);
        if (p == end) return missing(property, element, record, "");
        if (!property.is_list) {
          if (property.role == Role::None) {
            p = token_end(p, end);
            continue;
          }
          float& value = values[static_cast<int>(property.role)];
          if (is_integer(property.type)) {
            std::int64_t whole = 0;
            const char* at = p;
            if (!scan_integer(p, end, whole)) return not_a(at, end, "an integer", property);
            value = is_color(property.role) ? color_component(whole, property.type)
                                            : static_cast<float>(whole);
          } else {
            const char* at = p;
            if (!scan_float(p, end, value)) return not_a(at, end, "a number", property);
          }
          continue;
        }
        std::int64_t count = 0;
        const char* at = p;
        if (!scan_integer(p, end, count) || count < 0) {
          return not_a(at, end, "a list count", property);
        }
        if (property.role != Role::Corners) [[unlikely]] {
          if (auto failure = read_list(p, end, property, element, record, count)) return failure;
          continue;
        }
        builder_.begin_corners();
        for (std::int64_t item = 0; item < count; ++item) {
          skip_blanks(p, end);
          if (p == end) return too_few_items(property, element, record, item, count);
          std::int64_t index = 0;
          at = p;
          if (!scan_integer(p, end, index)) return not_a(at, end, "a vertex index", property);
          if (!builder_.add_corner(index, element.kind)) {
            return error(builder_.bad_corner(index) + " in " + element.name + " " +
                         std::to_string(record));
          }
        }
        builder_.end_corners(element.kind);
      }
      skip_blanks(p, end);
      if (p != end) [[unlikely]] {
        if (auto failure = values_after(element, p, end)) return failure;
      }
      builder_.end_record(element, values);
      if (textures) [[unlikely]]
        builder_.end_textures(element, values);
    }
    return std::nullopt;
  }

 private:
  // A list other than the corners, of `count` items from `p` on: the numbers of a texcoord
  // list, or tokens read past. Out of the rows' loop, which stays as tight for the files
  // without such lists.
  [[gnu::cold]] mesh_io::ReadStatus read_list(const char*& p, const char* end,
                                              const Property& property, const Element& element,
                                              std::uint64_t record, std::int64_t count) {
    const bool uvs = property.role == Role::TexCoords;
    if (uvs) builder_.begin_face_uvs();
    for (std::int64_t item = 0; item < count; ++item) {
      skip_blanks(p, end);
      if (p == end) return too_few_items(property, element, record, item, count);
      if (!uvs) {
        p = token_end(p, end);
        continue;
      }
      float value = 0;
      const char* at = p;
      if (!scan_number(p, end, property.type, value)) {
        return not_a(at, end, is_integer(property.type) ? "an integer" : "a number", property);
      }
      builder_.add_face_uv(value);
    }
    return std::nullopt;
  }

  // The values from `p` on, after the last property of a row of `element`: an error, unless
  // the element is a face with a texcoord list, whose writers put values after it that their
  // header does not declare (the row is one face all the same).
  [[gnu::cold]] mesh_io::ReadStatus values_after(const Element& element, const char* p,
                                                 const char* end) {
    if (!element.has_texcoords) {
      return error("more values than " + element.name + " declares properties: " +
                   quote(std::string_view(p, static_cast<std::size_t>(end - p))));
    }
    builder_.count_long_row();
    return std::nullopt;
  }

  ReadError error(const std::string& what) const {
    return ReadError::invalid_data("PLY line " + std::to_string(lines_.line_number()) + ": " +
                                   what);
  }
  ReadError missing(const Property& property, const Element& element, std::uint64_t record,
                    const std::string& after) const {
    return error("the row of " + element.name + " " + std::to_string(record) +
                 " ends before property " + property.name + after + ": " + quote(line_));
  }
  ReadError too_few_items(const Property& property, const Element& element, std::uint64_t record,
                          std::int64_t item, std::int64_t count) const {
    return missing(property, element, record,
                   " after " + std::to_string(item) + " of " + std::to_string(count) + " items");
  }
  // The token at `at` is not `what`.
  ReadError not_a(const char* at, const char* end, const char* what,
                  const Property& property) const {
    const char* stop = token_end(at, end);
    return error("expected " + std::string(what) + " for " + property.name + ", got " +
                 quote(std::string_view(at, static_cast<std::size_t>(stop - at))));
  }

  mesh_io::LineReader& lines_;
  MeshBuilder& builder_;
  std::string_view line_;
};

}  // namespace

mesh_io::ReadStatus read_ascii_body(mesh_io::LineReader& lines, const Header& header,
                                    MeshBuilder& builder) {
  RowReader rows(lines, builder);
  for (const Element& element : header.elements) {
    if (auto failure = rows.read(element)) return failure;
  }
  return std::nullopt;
}

}  // namespace vertisift::ply
