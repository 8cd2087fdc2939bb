// The quick readings of a coordinate in the text readers' vertex loops: a short plain decimal
// by one division, then from_chars. Inline, so that they stay in the loop; what a reader
// accepts after a number (a blank, and for OFF a '#' too) is a template argument, so that
// the check of that byte compiles to the same code as a reader's own would.
#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>
#include <system_error>

namespace vertisift::mesh_io {

// A plain decimal of at most 9 digits, [-]digits[.digits], whose digits make an integer m of
// at most 2^24 with at most 10 after the point: m and the power of ten are exact floats, so
// one division rounds the value correctly. It must end at `end` or at a byte ENDS accepts.
// False for anything else (the general reading takes it); on success `p` is past the number.
template <bool (*ENDS)(char)>
inline bool short_decimal(const char*& p, const char* end, float& value) {
  static constexpr float POWERS[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                     1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  const char* q = p;
  const bool negative = q < end && *q == '-';
  if (negative) ++q;
  std::uint32_t digits = 0, count = 0, scale = 0;
  for (; q < end && static_cast<unsigned>(*q - '0') < 10 && count < 10; ++q, ++count) {
    digits = digits * 10 + static_cast<std::uint32_t>(*q - '0');
  }
  if (q < end && *q == '.') {
    for (++q; q < end && static_cast<unsigned>(*q - '0') < 10 && count < 10; ++q, ++count) {
      digits = digits * 10 + static_cast<std::uint32_t>(*q - '0');
      ++scale;
    }
  }
  if (count == 0 || count == 10 || digits > (1u << 24) || (q < end && !ENDS(*q))) {
    return false;
  }
  const float magnitude = static_cast<float>(digits) / POWERS[scale];
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
