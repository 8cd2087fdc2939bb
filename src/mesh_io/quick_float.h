// The quick readings of a coordinate in the text readers' vertex loops: a short plain decimal
// by one division, then from_chars. Inline, so that they stay in the loop; what a reader
// accepts after a number (a blank, and for OFF a '#' too) is a template argument, so that
// the check of that byte compiles to the same code as a reader's own would.
#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <system_error>

namespace vertisift::mesh_io {

// A plain decimal of at most 15 digits, [-]digits[.digits]: its digits make an integer m below
// 2^53, with at most 15 after the point, so m and the power of ten are exact doubles and their
// quotient is the decimal correctly rounded to a double. Rounding that double to a float gives
// the decimal's nearest float, unless the double lies exactly halfway between two floats (the
// decimal may lie on either side, or on it): that case is left to the general reading. When m
// is at most 2^24 with at most 10 after the point, m and the power are exact floats and one
// float division rounds correctly. It must end at `end` or at a byte ENDS accepts. False for
// anything else (the general reading takes it); on success `p` is past the number.
template <bool (*ENDS)(char)>
inline bool short_decimal(const char*& p, const char* end, float& value) {
  static constexpr float POWERS[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                     1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  static constexpr double DOUBLE_POWERS[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  constexpr std::uint32_t MOST_DIGITS = 15;
  const char* q = p;
  const bool negative = q < end && *q == '-';
  if (negative) ++q;
  std::uint64_t digits = 0;
  std::uint32_t count = 0, scale = 0;
  for (; q < end && static_cast<unsigned>(*q - '0') < 10 && count <= MOST_DIGITS; ++q, ++count) {
    digits = digits * 10 + static_cast<std::uint64_t>(*q - '0');
  }
  if (q < end && *q == '.') {
    for (++q; q < end && static_cast<unsigned>(*q - '0') < 10 && count <= MOST_DIGITS;
         ++q, ++count) {
      digits = digits * 10 + static_cast<std::uint64_t>(*q - '0');
      ++scale;
    }
  }
  if (count == 0 || count > MOST_DIGITS || (q < end && !ENDS(*q))) return false;
  float magnitude = 0.0f;
  if (digits <= (1u << 24) && scale <= 10) {
    magnitude = static_cast<float>(digits) / POWERS[scale];
  } else {
    const double quotient = static_cast<double>(digits) / DOUBLE_POWERS[scale];
    // A double has 29 more significand bits than a float: halfway is 1 then 28 zeros.
    constexpr std::uint64_t LOW_BITS = (std::uint64_t{1} << 29) - 1;
    if ((std::bit_cast<std::uint64_t>(quotient) & LOW_BITS) == std::uint64_t{1} << 28) {
      return false;
    }
    magnitude = static_cast<float>(quotient);
  }
  value = negative ? -magnitude : magnitude;
  p = q;
  return true;
}

// The number at the start of `rest` (its blanks skipped) when a quick reading takes it
// whole, up to the end of `rest` or a byte ENDS accepts: a short decimal, or else
// from_chars. On success `rest` is advanced past the number; on failure `rest` is as it was
// (and `value` may be overwritten), for the general reading to take the token.
template <bool (*ENDS)(char)>
inline bool quick_float(std::string_view& rest, float& value) {
  const char* begin = rest.data();
  const char* end = begin + rest.size();
  if (short_decimal<ENDS>(begin, end, value)) {
    rest = std::string_view(begin, end);
    return true;
  }
  const auto [at, code] = std::from_chars(begin, end, value);
  if (code == std::errc() && (at == end || ENDS(*at))) {
    rest = std::string_view(at, end);
    return true;
  }
  return false;
}

}  // namespace vertisift::mesh_io
