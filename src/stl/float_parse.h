// Decimal text to IEEE binary32, for the coordinates of ASCII STL files.
//
// `parse_f32` takes one whole token and gives the correctly rounded binary32 (ties to even)
// of its decimal value, as mesh_io's decimal scanner (`mesh_io/text_numbers.h`) reads it, in
// STL's syntax. It allocates nothing. `parse_coordinates` turns three tokens into a Point3
// and builds the reader's error message for the first that fails.
#pragma once

#include <string_view>

#include "base/point3.h"
#include "mesh_io/read_error.h"

namespace vertisift::stl {

enum class FloatParseCode {
  Ok,
  Empty,    // the token has no characters at all
  Invalid,  // the token is not of the accepted syntax
};

struct FloatParseResult {
  float value;  // meaningful only when `code` is Ok
  FloatParseCode code;
};

// Accepted: an optional "+" or "-", then either inf, infinity or nan in any case, or decimal
// digits with at most one "." among them and at least one digit, optionally followed by "e" or
// "E", an optional sign and at least one digit. Nothing else, nothing before or after.
[[nodiscard]] FloatParseResult parse_f32(std::string_view token);

inline constexpr const char* INVALID_FLOAT_MESSAGE = "invalid float literal";
inline constexpr const char* EMPTY_FLOAT_MESSAGE = "cannot parse float from empty string";

// Converts tokens[0..2] from left to right into `point`. The first token that does not parse,
// or parses to an infinity or a NaN, ends the conversion with its InvalidData error; the
// tokens after it are not looked at.
[[nodiscard]] mesh_io::ReadStatus parse_coordinates(const std::string_view* tokens,
                                                    base::Point3& point);

}  // namespace vertisift::stl
