#include "stl/float_parse.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vertisift::stl {

using mesh_io::ReadError;

namespace {

constexpr bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }
constexpr std::uint64_t digit_value(char c) { return static_cast<std::uint64_t>(c - '0'); }

// Eight digits at once, as eight bytes of a little-endian word: the test adds 0x46 and
// subtracts 0x30 in every byte, and only bytes '0'..'9' leave both results below 0x80.
constexpr bool EIGHT_DIGITS_AT_ONCE = std::endian::native == std::endian::little;

inline std::uint64_t load_eight(const char* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

inline bool is_eight_digits(std::uint64_t word) {
  return (((word + 0x4646464646464646) | (word - 0x3030303030303030)) & 0x8080808080808080) == 0;
}

// The value of eight digits: pairs, then quadruples, then the whole, by multiply and shift.
inline std::uint64_t eight_digits_value(std::uint64_t word) {
  constexpr std::uint64_t mask = 0x000000FF000000FF;
  constexpr std::uint64_t high_pair_scales = 100 + (1000000ULL << 32);
  constexpr std::uint64_t low_pair_scales = 1 + (10000ULL << 32);
  word -= 0x3030303030303030;
  word = word * 10 + (word >> 8);
  return ((word & mask) * high_pair_scales + ((word >> 16) & mask) * low_pair_scales) >> 32;
}

// Appends the digits from `p` on to `mantissa` (which wraps after 19 digits) and returns the
// first position that is not a digit.
inline const char* take_digits(const char* p, const char* end, std::uint64_t& mantissa) {
  if constexpr (EIGHT_DIGITS_AT_ONCE) {
    while (end - p >= 8 && is_eight_digits(load_eight(p))) {
      mantissa = mantissa * 100000000 + eight_digits_value(load_eight(p));
      p += 8;
    }
  }
  while (p != end && is_digit(*p)) mantissa = mantissa * 10 + digit_value(*p++);
  return p;
}

// Powers of ten that a float holds exactly, for the single-precision shortcut.
constexpr float EXACT_FLOAT_POWERS_OF_TEN[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                               1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
constexpr std::int64_t MAX_EXACT_FLOAT_POWER = 10;
constexpr std::uint64_t MAX_EXACT_FLOAT_MANTISSA = std::uint64_t{1} << 24;

// The powers of ten that a double holds exactly.
// clang-format off
constexpr double EXACT_POWERS_OF_TEN[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
// clang-format on
constexpr std::int64_t MAX_EXACT_POWER = 22;
constexpr std::uint64_t MAX_EXACT_MANTISSA = std::uint64_t{1} << 53;

// A written exponent stops growing here. A token would need about this many digits before
// its point for the cap to change the outcome, far more than any file holds.
constexpr std::int64_t EXPONENT_CAP = 1'000'000'000'000'000;

// Significant digits handed to the exact conversion. Every binary32 and every midpoint
// between two neighbours has fewer significant decimal digits than this, so cutting a longer
// digit string here and putting a single nonzero digit in place of the rest keeps the value
// strictly between the same two such numbers, and so rounds the same way.
constexpr std::size_t EXACT_DIGITS = 200;

// True when `value`, a double in the normal binary32 range, lies exactly halfway between two
// neighbouring binary32 values: its 29 bits below binary32 precision read 1000...0.
bool is_binary32_midpoint(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  constexpr std::uint64_t extra_mask = (std::uint64_t{1} << 29) - 1;
  return (bits & extra_mask) == (std::uint64_t{1} << 28);
}

bool equals_ignoring_case(const char* begin, const char* end, std::string_view lower_word) {
  if (static_cast<std::size_t>(end - begin) != lower_word.size()) return false;
  for (char expected : lower_word) {
    if ((*begin++ | 0x20) != expected) return false;
  }
  return true;
}

FloatParseResult parse_word(const char* begin, const char* end, bool negative) {
  constexpr float infinity = std::numeric_limits<float>::infinity();
  if (equals_ignoring_case(begin, end, "inf") || equals_ignoring_case(begin, end, "infinity")) {
    return {negative ? -infinity : infinity, FloatParseCode::Ok};
  }
  if (equals_ignoring_case(begin, end, "nan")) {
    return {std::numeric_limits<float>::quiet_NaN(), FloatParseCode::Ok};
  }
  return {0.0f, FloatParseCode::Invalid};
}

// The digits of a syntactically valid decimal number: integer part, fraction part (either may
// be empty, not both) and the written exponent, capped at ±EXPONENT_CAP.
struct DecimalDigits {
  const char* integer_begin;
  const char* integer_end;
  const char* fraction_begin;
  const char* fraction_end;
  std::int64_t exponent;
};

// The exact path, for what the double-precision shortcut cannot decide: more than 19 digits,
// exponents beyond ±22, and results that land on a binary32 midpoint. The number is brought
// into the form 0.d1d2...dk e s with d1 nonzero; out-of-range magnitudes are settled from s
// alone, the rest goes to std::from_chars, which rounds correctly but accepts another syntax
// (hence this normalised copy) and reports overflow and underflow without a value.
[[gnu::noinline]] float parse_exact(const DecimalDigits& number) {
  const char* cursor = number.integer_begin;
  const char* part_end = number.integer_end;
  bool in_fraction = false;
  // scale: the value is 0.d1d2... times 10^scale once the leading zeros are gone.
  std::int64_t scale = number.integer_end - number.integer_begin;
  for (;;) {
    while (cursor != part_end && *cursor == '0') {
      ++cursor;
      --scale;
    }
    if (cursor != part_end) break;
    if (in_fraction) return 0.0f;  // only zeros
    cursor = number.fraction_begin;
    part_end = number.fraction_end;
    in_fraction = true;
  }
  // A leading nonzero digit at 10^(scale - 1): from 10^39 on the value exceeds every finite
  // binary32, and below 10^-46 it is less than half the smallest subnormal.
  scale += number.exponent;
  if (scale - 1 >= 39) return std::numeric_limits<float>::infinity();
  if (scale - 1 < -46) return 0.0f;

  char text[EXACT_DIGITS + 32];
  char* out = text;
  *out++ = '0';
  *out++ = '.';
  std::size_t copied = 0;
  bool nonzero_rest = false;
  for (;;) {
    for (; cursor != part_end; ++cursor) {
      if (copied < EXACT_DIGITS) {
        *out++ = *cursor;
        ++copied;
      } else if (*cursor != '0') {
        nonzero_rest = true;
        break;
      }
    }
    if (nonzero_rest || in_fraction) break;
    cursor = number.fraction_begin;
    part_end = number.fraction_end;
    in_fraction = true;
  }
  if (nonzero_rest) *out++ = '1';
  *out++ = 'e';
  out = std::to_chars(out, text + sizeof text, scale).ptr;

  float value = 0.0f;
  const auto [end, error] = std::from_chars(text, out, value, std::chars_format::general);
  (void)end;
  if (error == std::errc::result_out_of_range) {
    return scale > 0 ? std::numeric_limits<float>::infinity() : 0.0f;
  }
  return value;
}

// The texts, odd as they read, are fixed by compatibility and must stay exactly so.
ReadError non_finite_error(float value) {
  if (std::isnan(value)) {
    return ReadError::invalid_data("expected finite f32, got NaN which is Nan");
  }
  return ReadError::invalid_data(value > 0 ? "expected finite f32, got inf which is Infinite"
                                           : "expected finite f32, got -inf which is Infinite");
}

// Defined here and inlined into both entry points, which share this unit.
[[gnu::always_inline]] inline FloatParseResult parse_token(std::string_view token) {
  const char* p = token.data();
  const char* const end = p + token.size();
  if (p == end) [[unlikely]] {
    return {0.0f, FloatParseCode::Empty};
  }
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }

  // One pass checks the syntax and gathers the digits. With more than 19 digits `mantissa`
  // wraps; it is then not used.
  DecimalDigits number;
  std::uint64_t mantissa = 0;
  number.integer_begin = p;
  p = take_digits(p, end, mantissa);
  number.integer_end = p;
  number.fraction_begin = number.fraction_end = p;
  if (p != end && *p == '.') {
    number.fraction_begin = ++p;
    p = take_digits(p, end, mantissa);
    number.fraction_end = p;
  }
  const auto integer_digits = number.integer_end - number.integer_begin;
  const auto fraction_digits = number.fraction_end - number.fraction_begin;
  if (integer_digits + fraction_digits == 0) [[unlikely]] {
    // No digit at all: one of the words, unless a point was written.
    if (p != number.integer_begin) return {0.0f, FloatParseCode::Invalid};
    return parse_word(p, end, negative);
  }
  number.exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exponent_negative = *p == '-';
      ++p;
    }
    if (p == end || !is_digit(*p)) return {0.0f, FloatParseCode::Invalid};
    while (p != end && is_digit(*p)) {
      if (number.exponent < EXPONENT_CAP) {
        number.exponent = number.exponent * 10 + static_cast<std::int64_t>(digit_value(*p));
      }
      ++p;
    }
    if (exponent_negative) number.exponent = -number.exponent;
  }
  if (p != end) return {0.0f, FloatParseCode::Invalid};

  // The common cases: up to 19 digits forming an integer, scaled by an exact power of ten.
  // With at most 2^24 and 10^10, both are exact floats and one float operation rounds the
  // result correctly. With at most 2^53 and 10^22, one double operation rounds it correctly
  // to double; rounding that double to binary32 is then correct too, unless it sits exactly
  // on a binary32 midpoint, where the first rounding may have decided the tie; only then is
  // the exact path needed. Either result lies between 1e-22 and 1e38, inside the normal
  // binary32 range.
  if (integer_digits + fraction_digits <= 19) {
    if (mantissa == 0) return {negative ? -0.0f : 0.0f, FloatParseCode::Ok};
    const std::int64_t power = number.exponent - fraction_digits;
    if (mantissa <= MAX_EXACT_FLOAT_MANTISSA && power >= -MAX_EXACT_FLOAT_POWER &&
        power <= MAX_EXACT_FLOAT_POWER) {
      float value = static_cast<float>(mantissa);
      value = power < 0 ? value / EXACT_FLOAT_POWERS_OF_TEN[-power]
                        : value * EXACT_FLOAT_POWERS_OF_TEN[power];
      return {negative ? -value : value, FloatParseCode::Ok};
    }
    if (mantissa <= MAX_EXACT_MANTISSA && power >= -MAX_EXACT_POWER && power <= MAX_EXACT_POWER) {
      double scaled = static_cast<double>(mantissa);
      scaled =
          power < 0 ? scaled / EXACT_POWERS_OF_TEN[-power] : scaled * EXACT_POWERS_OF_TEN[power];
      if (!is_binary32_midpoint(scaled)) [[likely]] {
        const auto value = static_cast<float>(scaled);
        return {negative ? -value : value, FloatParseCode::Ok};
      }
    }
  }
  const float value = parse_exact(number);
  return {negative ? -value : value, FloatParseCode::Ok};
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
