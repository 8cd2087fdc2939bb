// Numbers and tokens of the text formats (OFF, OBJ, ASCII PLY).
#pragma once

#include <cstdint>
#include <string_view>

namespace vertisift::mesh_io {

// Blank: space, tab, vertical tab, form feed, and a CR that is not a line end.
inline bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

// The next token of `rest`, blanks before it skipped, and `rest` advanced past it; empty
// when none is left.
std::string_view next_token(std::string_view& rest);

// A whole token as the nearest float (decimal, correctly rounded, ties to even; an optional
// sign, digits with at most one point, an optional exponent; "inf", "infinity" and "nan" in
// any case with an optional sign). False for anything else.
bool parse_float(std::string_view token, float& value);
// A whole token as a decimal integer with an optional sign. False for anything else and for
// a value outside the type.
bool parse_integer(std::string_view token, std::int64_t& value);

}  // namespace vertisift::mesh_io
