// ASCII PLY data: one record a row, values separated by blanks, read in one pass with a
// scanner that takes the common decimal forms itself and hands the rest to the correctly
// rounding parsers of mesh_io.
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "mesh_io/text_numbers.h"
#include "ply/ply_body.h"

namespace vertisift::ply {
namespace {

using mesh_io::ReadError;

// The powers of ten a double holds exactly.
constexpr double EXACT_POWERS[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
// A float keeps 24 of a double's 53 significand bits; a double whose 29 others are exactly
// this pattern lies halfway between two floats.
constexpr std::uint64_t DROPPED_BITS = (std::uint64_t{1} << 29) - 1;
constexpr std::uint64_t HALFWAY = std::uint64_t{1} << 28;

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

inline const char* token_end(const char* p, const char* end) {
  while (p < end && !mesh_io::is_blank(*p)) ++p;
  return p;
}

// The whole token at `p` through the full parsers, `p` moved past it: the forms the scanners
// leave to them, out of the hot loop.
[[gnu::noinline]] bool parse_float_token(const char*& p, const char* end, float& value) {
  const char* stop = token_end(p, end);
  const bool parsed =
      mesh_io::parse_float(std::string_view(p, static_cast<std::size_t>(stop - p)), value);
  p = stop;
  return parsed;
}

[[gnu::noinline]] bool parse_integer_token(const char*& p, const char* end, std::int64_t& value) {
  const char* stop = token_end(p, end);
  const bool parsed =
      mesh_io::parse_integer(std::string_view(p, static_cast<std::size_t>(stop - p)), value);
  p = stop;
  return parsed;
}

// The decimal at `p` (a token's first byte) as the nearest float, `p` moved past it; false
// when the token is no number. Up to 19 significant digits and a power of ten a double holds
// exactly, the quotient or product of two exact doubles is the correctly rounded double, and
// rounding that to float is correct unless it lies exactly halfway between two floats, or
// outside the range of normal floats: those, and every other form, take the full parser.
[[gnu::always_inline]] inline bool scan_float(const char*& p, const char* end, float& value) {
  const char* s = p;
  const bool negative = *s == '-';
  if (negative || *s == '+') ++s;
  std::uint64_t mantissa = 0;
  int significant = 0, exponent = 0;
  bool digits = false;
  for (; s < end && is_digit(*s); ++s, digits = true) {
    mantissa = mantissa * 10 + static_cast<std::uint64_t>(*s - '0');
    significant += mantissa != 0;
    if (significant > 19) break;
  }
  if (s < end && *s == '.') {
    for (++s; s < end && is_digit(*s); ++s, digits = true) {
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(*s - '0');
      significant += mantissa != 0;
      --exponent;
      if (significant > 19) break;
    }
  }
  if (digits && significant <= 19 && s < end && (*s == 'e' || *s == 'E')) {
    ++s;
    const bool negative_exponent = s < end && *s == '-';
    if (s < end && (*s == '-' || *s == '+')) ++s;
    int written = 0;
    if (s >= end || !is_digit(*s)) digits = false;
    for (; s < end && is_digit(*s); ++s) {
      if (written < 100000) written = written * 10 + (*s - '0');
    }
    exponent += negative_exponent ? -written : written;
  }
  if (digits && significant <= 19 && (s == end || mesh_io::is_blank(*s))) {
    if (mantissa == 0) {
      value = negative ? -0.0f : 0.0f;
      p = s;
      return true;
    }
    if (mantissa <= (std::uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
      const auto exact = static_cast<double>(mantissa);
      const double magnitude =
          exponent < 0 ? exact / EXACT_POWERS[-exponent] : exact * EXACT_POWERS[exponent];
      if (magnitude >= static_cast<double>(std::numeric_limits<float>::min()) &&
          magnitude <= static_cast<double>(std::numeric_limits<float>::max()) &&
          (std::bit_cast<std::uint64_t>(magnitude) & DROPPED_BITS) != HALFWAY) {
        const auto rounded = static_cast<float>(magnitude);
        value = negative ? -rounded : rounded;
        p = s;
        return true;
      }
    }
  }
  return parse_float_token(p, end, value);
}

// A decimal integer at `p`, `p` moved past it; false when the token is none (or out of the
// range of 64 bits).
[[gnu::always_inline]] inline bool scan_integer(const char*& p, const char* end,
                                                std::int64_t& value) {
  const char* s = p;
  const bool negative = *s == '-';
  if (negative || *s == '+') ++s;
  const char* first = s;
  std::int64_t magnitude = 0;
  while (s < end && is_digit(*s) && s - first < 18) magnitude = magnitude * 10 + (*s++ - '0');
  if (s > first && (s == end || mesh_io::is_blank(*s))) {
    value = negative ? -magnitude : magnitude;
    p = s;
    return true;
  }
  return parse_integer_token(p, end, value);
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
    float values[7] = {};  // by Role
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
            if (!scan_integer(p, end, whole)) return not_a(at, p, "an integer", property);
            value = static_cast<float>(whole);
          } else {
            const char* at = p;
            if (!scan_float(p, end, value)) return not_a(at, p, "a number", property);
          }
          continue;
        }
        std::int64_t count = 0;
        const char* at = p;
        if (!scan_integer(p, end, count) || count < 0) {
          return not_a(at, p, "a list count", property);
        }
        const bool corners = property.role == Role::Corners;
        if (corners) builder_.begin_corners();
        for (std::int64_t item = 0; item < count; ++item) {
          skip_blanks(p, end);
          if (p == end) {
            return missing(
                property, element, record,
                " after " + std::to_string(item) + " of " + std::to_string(count) + " items");
          }
          if (!corners) {
            p = token_end(p, end);
            continue;
          }
          std::int64_t index = 0;
          at = p;
          if (!scan_integer(p, end, index)) return not_a(at, p, "a vertex index", property);
          if (!builder_.add_corner(index, element.kind)) {
            return error(builder_.bad_corner(index) + " in " + element.name + " " +
                         std::to_string(record));
          }
        }
        if (corners) builder_.end_corners(element.kind);
      }
      skip_blanks(p, end);
      if (p != end) {
        return error("more values than " + element.name + " declares properties: " +
                     quote(std::string_view(p, static_cast<std::size_t>(end - p))));
      }
      if (element.kind == ElementKind::Vertex) {
        mesh_io::Mesh& mesh = builder_.mesh();
        mesh.positions.push_back({values[1], values[2], values[3]});
        if (element.has_normals) builder_.normals().push_back({values[4], values[5], values[6]});
      }
    }
    return std::nullopt;
  }

 private:
  ReadError error(const std::string& what) const {
    return ReadError::invalid_data("PLY line " + std::to_string(lines_.line_number()) + ": " +
                                   what);
  }
  ReadError missing(const Property& property, const Element& element, std::uint64_t record,
                    const std::string& after) const {
    return error("the row of " + element.name + " " + std::to_string(record) +
                 " ends before property " + property.name + after + ": " + quote(line_));
  }
  ReadError not_a(const char* at, const char* stop, const char* what,
                  const Property& property) const {
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
