#include "stl/float_parse.h"

#include <cmath>

#include "mesh_io/text_numbers.h"

namespace vertisift::stl {

using mesh_io::ReadError;

namespace {

// The texts, odd as they read, are fixed by compatibility and must stay exactly so.
ReadError non_finite_error(float value) {
  if (std::isnan(value)) {
    return ReadError::invalid_data("expected finite f32, got NaN which is Nan");
  }
  return ReadError::invalid_data(value > 0 ? "expected finite f32, got inf which is Infinite"
                                           : "expected finite f32, got -inf which is Infinite");
}

// Defined here and inlined into both entry points, which share this unit. The syntax is the
// text formats' own but for C's "nan(chars)", the one accepted token that ends in ')'.
[[gnu::always_inline]] inline FloatParseResult parse_token(std::string_view token) {
  if (token.empty()) [[unlikely]] {
    return {0.0f, FloatParseCode::Empty};
  }
  const char* at = token.data();
  float value;
  // STL's writers print "%e" and its kin: eight or more digits after the point.
  if (!mesh_io::scan_float<mesh_io::nothing_follows, mesh_io::Fraction::Long>(
          at, token.data() + token.size(), value) ||
      token.back() == ')') [[unlikely]] {
    return {0.0f, FloatParseCode::Invalid};
  }
  return {value, FloatParseCode::Ok};
}

}  // namespace

FloatParseResult parse_f32(std::string_view token) { return parse_token(token); }

mesh_io::ReadStatus parse_coordinates(const std::string_view* tokens, base::Point3& point) {
  float values[3];
  for (int i = 0; i < 3; ++i) {
    const FloatParseResult parsed = parse_token(tokens[i]);
    if (parsed.code != FloatParseCode::Ok) [[unlikely]] {
      return ReadError::invalid_data(parsed.code == FloatParseCode::Empty ? EMPTY_FLOAT_MESSAGE
                                                                          : INVALID_FLOAT_MESSAGE);
    }
    if (!std::isfinite(parsed.value)) [[unlikely]] {
      return non_finite_error(parsed.value);
    }
    values[i] = parsed.value;
  }
  point = {values[0], values[1], values[2]};
  return std::nullopt;
}

}  // namespace vertisift::stl
