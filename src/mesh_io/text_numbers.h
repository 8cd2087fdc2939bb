// Numbers and tokens of the text formats (OFF, OBJ, ASCII PLY, and under STL's strict parser):
// one decimal scanner and one integer scanner.
//
// `scan_float` gives the correctly rounded float (ties to even) of a decimal however many
// digits it has; beyond the range a signed infinity or a signed zero, subnormals kept. Its
// common case, at most 19 digits scaled by a power of ten that a double holds exactly, is
// one float or double operation inline in the readers' vertex loops; the rest goes out of
// line. What
// a reader accepts after a number (a blank; for OFF a '#' too; nothing, for a whole token)
// is a template argument, so that the check of that byte compiles to the reader's own.
// Nothing here allocates.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

#include "mesh_io/byte_order.h"

namespace vertisift::mesh_io {

// Blank: space, tab, vertical tab, form feed, and a CR that is not a line end.
inline bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

// The terminator of a whole token: nothing may follow the number.
inline bool nothing_follows(char) { return false; }

// The next token of `rest`, blanks before it skipped, and `rest` advanced past it; empty
// when none is left.
std::string_view next_token(std::string_view& rest);

namespace detail {

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }
inline std::uint64_t digit_value(char c) { return static_cast<std::uint64_t>(c - '0'); }

// Eight digits at once, as the eight bytes of a little-endian word: the test adds 0x46 and
// subtracts 0x30 in every byte, and only bytes '0'..'9' leave both results below 0x80.
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
// first position that is not a digit: one byte at a time, for the parts that are short.
inline const char* take_short_digits(const char* p, const char* end, std::uint64_t& mantissa) {
  while (p != end && is_digit(*p)) mantissa = mantissa * 10 + digit_value(*p++);
  return p;
}

// The same, eight digits at a time first, for parts that run long.
inline const char* take_digits(const char* p, const char* end, std::uint64_t& mantissa) {
  while (end - p >= 8) {
    const auto word = load_little<std::uint64_t>(p);
    if (!is_eight_digits(word)) break;
    mantissa = mantissa * 100000000 + eight_digits_value(word);
    p += 8;
  }
  return take_short_digits(p, end, mantissa);
}

// The digits of a decimal of the accepted syntax: integer part, fraction part (either may be
// empty, not both) and the written exponent, capped at ±EXPONENT_CAP.
struct DecimalDigits {
  const char* integer_begin;
  const char* integer_end;
  const char* fraction_begin;
  const char* fraction_end;
  std::int64_t exponent;
};

// A written exponent stops growing here. A token would need about this many digits before
// its point for the cap to change the outcome, far more than any line holds.
constexpr std::int64_t EXPONENT_CAP = 1'000'000'000'000'000;

// The powers of ten that a float holds exactly (5^10 < 2^24).
inline constexpr float EXACT_FLOAT_POWERS_OF_TEN[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                                      1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
constexpr std::int64_t MAX_EXACT_FLOAT_POWER = 10;
constexpr std::uint64_t MAX_EXACT_FLOAT_MANTISSA = std::uint64_t{1} << 24;

// The powers of ten that a double holds exactly.
// clang-format off
inline constexpr double EXACT_POWERS_OF_TEN[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
// clang-format on
constexpr std::int64_t MAX_EXACT_POWER = 22;
constexpr std::uint64_t MAX_EXACT_MANTISSA = std::uint64_t{1} << 53;

// True when `value`, a double in the normal binary32 range, lies exactly halfway between two
// neighbouring floats: a float keeps 24 of a double's 53 significand bits, and the 29 others
// read 1000...0.
inline bool is_binary32_midpoint(double value) {
  constexpr std::uint64_t dropped = (std::uint64_t{1} << 29) - 1;
  return (std::bit_cast<std::uint64_t>(value) & dropped) == std::uint64_t{1} << 28;
}

// The common case: up to 19 digits forming an integer of at most 2^53, scaled by 10^power
// with |power| <= 22. Both are exact doubles, so one double operation rounds the value
// correctly to double, and rounding that to float is correct too unless it sits exactly on a
// float midpoint, where the first rounding may have decided the tie: false then, and for
// anything outside the case. The result lies between 1e-22 and 1e38, normal for a float.
// Shorter still, an integer of at most 2^24 and a power from -10 to 0 (printf's "%f" of a
// model's coordinates) are exact floats, and one float division rounds correctly, ties
// included.
inline bool round_quickly(std::uint64_t mantissa, std::int64_t digits, std::int64_t power,
                          float& magnitude) {
  if (digits > 19) return false;
  // A scale of 10^-k with k at most 10: -power, as unsigned, is that small only then.
  if (mantissa <= MAX_EXACT_FLOAT_MANTISSA &&
      static_cast<std::uint64_t>(-power) <= static_cast<std::uint64_t>(MAX_EXACT_FLOAT_POWER)) {
    magnitude = static_cast<float>(static_cast<std::uint32_t>(mantissa)) /
                EXACT_FLOAT_POWERS_OF_TEN[-power];
    return true;
  }
  if (mantissa == 0) {
    magnitude = 0.0f;
    return true;
  }
  if (mantissa > MAX_EXACT_MANTISSA || power < -MAX_EXACT_POWER || power > MAX_EXACT_POWER) {
    return false;
  }
  double scaled = static_cast<double>(mantissa);
  scaled = power < 0 ? scaled / EXACT_POWERS_OF_TEN[-power] : scaled * EXACT_POWERS_OF_TEN[power];
  if (is_binary32_midpoint(scaled)) return false;
  magnitude = static_cast<float>(scaled);
  return true;
}

// The exact path, for what round_quickly leaves: the magnitude of `number`, correctly
// rounded.
float round_exactly(const DecimalDigits& number);

// "inf", "infinity" or "nan" at `p`, in any case; "nan" may carry C's "(chars)" of letters,
// digits and '_'. Sets `value` (signed) and returns the end of the longest word, or null
// when none starts at `p`.
const char* scan_word(const char* p, const char* end, bool negative, float& value);

// The digits after the first 19 of an integer, checked against overflow of `magnitude`; the
// first position that is not a digit, or null on overflow.
const char* take_more_digits(const char* p, const char* end, std::uint64_t& magnitude);

}  // namespace detail

// How scan_float takes the digits after the point: byte by byte (Short), which suits "%f" and
// "%.9g" (OFF, OBJ, PLY), where a test of eight digits at once before them cost the readers
// more than it saved; or eight at a time first (Long), for a format whose writers print eight
// or more (ASCII STL's "%e").
enum class Fraction { Short, Long };

// The number at `at` as the nearest float, `at` moved past it; false when no number of the
// syntax starts there or a byte that ENDS refuses follows it (`at` is then unchanged, and
// `value` may be overwritten). The syntax: an optional "+" or "-", then decimal digits with
// at most one "." among them and at least one digit, optionally followed by "e" or "E", an
// optional sign and at least one digit; or one of the words of detail::scan_word.
//
// FRACTION says how the digits after the point are taken (Fraction).

template <bool (*ENDS)(char), Fraction FRACTION = Fraction::Short>
[[gnu::always_inline]] inline bool scan_float(const char*& at, const char* end, float& value) {
  const char* p = at;
  if (p == end) return false;
  const bool negative = *p == '-';
  if (negative || *p == '+') ++p;

  // One pass checks the syntax and gathers the digits; past 19 digits `mantissa` wraps, and
  // is then not used. The bounds of the digits stay in registers: only the exact path, out
  // of line, takes them as a DecimalDigits.
  std::uint64_t mantissa = 0;
  // The integer part of a coordinate is a digit or two, whatever the format.
  const char* const integer_begin = p;
  p = detail::take_short_digits(p, end, mantissa);
  const char* const integer_end = p;
  const char* fraction_begin = p;
  if (p != end && *p == '.') {
    fraction_begin = ++p;
    p = FRACTION == Fraction::Long ? detail::take_digits(p, end, mantissa)
                                   : detail::take_short_digits(p, end, mantissa);
  }
  const char* const fraction_end = p;
  const std::int64_t fraction_digits = fraction_end - fraction_begin;
  const std::int64_t digits = integer_end - integer_begin + fraction_digits;
  if (digits == 0) [[unlikely]] {
    // No digit at all: one of the words, unless a point was written.
    if (p != integer_begin) return false;
    const char* after = detail::scan_word(p, end, negative, value);
    if (after == nullptr || (after != end && !ENDS(*after))) return false;
    at = after;
    return true;
  }
  std::int64_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool exponent_negative = p != end && *p == '-';
    if (p != end && (*p == '-' || *p == '+')) ++p;
    if (p == end || !detail::is_digit(*p)) return false;
    do {
      if (exponent < detail::EXPONENT_CAP) {
        exponent = exponent * 10 + static_cast<std::int64_t>(*p - '0');
      }
      ++p;
    } while (p != end && detail::is_digit(*p));
    if (exponent_negative) exponent = -exponent;
  }
  if (p != end && !ENDS(*p)) return false;

  float magnitude;
  if (!detail::round_quickly(mantissa, digits, exponent - fraction_digits, magnitude))
      [[unlikely]] {
    magnitude =
        detail::round_exactly({integer_begin, integer_end, fraction_begin, fraction_end, exponent});
  }
  value = negative ? -magnitude : magnitude;
  at = p;
  return true;
}

// The decimal integer at `at` ([sign]digits), `at` moved past it; false when none starts
// there, when it is outside 64 bits, or when a byte that ENDS refuses follows it (`at` is
// then unchanged). ENDS accepts no digit.
template <bool (*ENDS)(char)>
[[gnu::always_inline]] inline bool scan_integer(const char*& at, const char* end,
                                                std::int64_t& value) {
  const char* p = at;
  if (p == end) return false;
  const bool negative = *p == '-';
  if (negative || *p == '+') ++p;
  const char* const first = p;
  std::uint64_t magnitude = 0;
  while (p != end && detail::is_digit(*p)) magnitude = magnitude * 10 + detail::digit_value(*p++);
  if (p == first) return false;
  if (p != end && !ENDS(*p)) return false;
  // 19 digits stay below 2^64. Past them `magnitude` wrapped: the first 19 are taken again, and
  // the rest checked against overflow, out of the common path.
  if (p - first > 19) [[unlikely]] {
    magnitude = 0;
    for (const char* digit = first; digit != first + 19; ++digit) {
      magnitude = magnitude * 10 + detail::digit_value(*digit);
    }
    if (detail::take_more_digits(first + 19, end, magnitude) == nullptr) return false;
  }
  constexpr auto largest = static_cast<std::uint64_t>(INT64_MAX);
  if (magnitude > largest + (negative ? 1 : 0)) [[unlikely]] {
    return false;
  }
  value = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
  at = p;
  return true;
}

// A whole token as scan_float reads it. False for anything else.
bool parse_float(std::string_view token, float& value);
// A whole token as scan_integer reads it. False for anything else.
bool parse_integer(std::string_view token, std::int64_t& value);

}  // namespace vertisift::mesh_io
