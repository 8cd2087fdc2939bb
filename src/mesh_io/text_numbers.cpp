#include "mesh_io/text_numbers.h"

#include <charconv>
#include <cstddef>
#include <limits>
#include <system_error>

namespace vertisift::mesh_io {
namespace detail {
namespace {

// Significant digits handed to the exact conversion. Every float and every midpoint between
// two neighbours has fewer significant decimal digits than this, so cutting a longer digit
// string here and putting a single nonzero digit in place of the rest keeps the value
// strictly between the same two such numbers, and so rounds the same way.
constexpr std::size_t EXACT_DIGITS = 200;

bool starts_with_word(const char* p, const char* end, std::string_view lower_word) {
  if (static_cast<std::size_t>(end - p) < lower_word.size()) return false;
  for (const char expected : lower_word) {
    if ((*p++ | 0x20) != expected) return false;
  }
  return true;
}

bool is_payload_byte(char c) {
  return detail::is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '_';
}

}  // namespace

// The number is brought into the form 0.d1d2...dk e s with d1 nonzero; out-of-range
// magnitudes are settled from s alone, the rest goes to std::from_chars, which rounds
// correctly but accepts another syntax (hence this normalised copy) and reports overflow
// and underflow without a value.
[[gnu::noinline]] float round_exactly(const DecimalDigits& number) {
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
  // float, and below 10^-46 it is less than half the smallest subnormal.
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
  const auto [stop, error] = std::from_chars(text, out, value, std::chars_format::general);
  (void)stop;
  if (error == std::errc::result_out_of_range) {
    return scale > 0 ? std::numeric_limits<float>::infinity() : 0.0f;
  }
  return value;
}

[[gnu::noinline]] const char* scan_word(const char* p, const char* end, bool negative,
                                        float& value) {
  if (starts_with_word(p, end, "inf")) {
    constexpr float infinity = std::numeric_limits<float>::infinity();
    value = negative ? -infinity : infinity;
    return p + (starts_with_word(p, end, "infinity") ? 8 : 3);
  }
  if (!starts_with_word(p, end, "nan")) return nullptr;
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  value = negative ? -nan : nan;
  p += 3;
  if (p != end && *p == '(') {
    const char* close = p + 1;
    while (close != end && is_payload_byte(*close)) ++close;
    if (close != end && *close == ')') return close + 1;
  }
  return p;
}

[[gnu::noinline]] const char* take_more_digits(const char* p, const char* end,
                                               std::uint64_t& magnitude) {
  for (; p != end && is_digit(*p); ++p) {
    if (__builtin_mul_overflow(magnitude, 10u, &magnitude) ||
        __builtin_add_overflow(magnitude, digit_value(*p), &magnitude)) {
      return nullptr;
    }
  }
  return p;
}

}  // namespace detail

std::string_view next_token(std::string_view& rest) {
  std::size_t begin = 0;
  while (begin < rest.size() && is_blank(rest[begin])) ++begin;
  std::size_t end = begin;
  while (end < rest.size() && !is_blank(rest[end])) ++end;
  const std::string_view token = rest.substr(begin, end - begin);
  rest.remove_prefix(end);
  return token;
}

bool parse_float(std::string_view token, float& value) {
  const char* at = token.data();
  return scan_float<nothing_follows>(at, token.data() + token.size(), value);
}

bool parse_integer(std::string_view token, std::int64_t& value) {
  const char* at = token.data();
  return scan_integer<nothing_follows>(at, token.data() + token.size(), value);
}

}  // namespace vertisift::mesh_io
