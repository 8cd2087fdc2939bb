#include "mesh_io/text_numbers.h"

#include <charconv>
#include <limits>
#include <system_error>

namespace vertisift::mesh_io {
namespace {

// from_chars takes no leading '+': drop one, unless another sign follows it.
std::string_view without_plus(std::string_view token) {
  if (token.size() > 1 && token[0] == '+' && token[1] != '-' && token[1] != '+') {
    return token.substr(1);
  }
  return token;
}

// The value of a decimal token that from_chars found out of range for T, rounded as a correct
// reading rounds it: a float beyond its range that a double holds is that double, rounded;
// beyond a double's range, a signed infinity when the decimal exponent is positive, else a
// signed zero.
template <class T>
bool parse_extreme(std::string_view token, T& value) {
  if constexpr (sizeof(T) < sizeof(double)) {
    double wide = 0.0;
    const auto [at, code] = std::from_chars(token.data(), token.data() + token.size(), wide);
    if (code == std::errc() && at == token.data() + token.size()) {
      value = static_cast<T>(wide);
      return true;
    }
  }
  const bool negative = token[0] == '-';
  std::size_t i = negative || token[0] == '+' ? 1 : 0;
  // The power of ten of the first non-zero digit, from the digits and the exponent.
  std::int64_t position = 0;
  bool seen_point = false, seen_digit = false;
  for (; i < token.size(); ++i) {
    const char c = token[i];
    if (c == '.') {
      seen_point = true;
    } else if (c >= '0' && c <= '9') {
      if (c != '0' && !seen_digit) seen_digit = true;
      if (seen_digit && !seen_point) ++position;
      if (!seen_digit && seen_point) --position;
    } else {
      break;
    }
  }
  std::int64_t exponent = 0;
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    std::string_view digits = token.substr(i + 1);
    if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
    // An exponent too long for 64 bits is far beyond any range either way.
    const auto [at, code] = std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
    if (code == std::errc::result_out_of_range)
      exponent = digits[0] == '-' ? -(1LL << 62) : 1LL << 62;
    (void)at;
  }
  const bool huge = seen_digit && position + exponent > 0;
  const T magnitude = huge ? std::numeric_limits<T>::infinity() : T{0};
  value = negative ? -magnitude : magnitude;
  return true;
}

template <class T>
bool parse_whole(std::string_view token, T& value) {
  token = without_plus(token);
  if (token.empty()) return false;
  const char* end = token.data() + token.size();
  const auto [at, code] = std::from_chars(token.data(), end, value);
  // Out of range: the value rounds to an infinity or to zero, as a correct reading gives it.
  if (code == std::errc::result_out_of_range) return at == end && parse_extreme(token, value);
  return code == std::errc() && at == end;
}

}  // namespace

std::string_view next_token(std::string_view& rest) {
  std::size_t begin = 0;
  while (begin < rest.size() && is_blank(rest[begin])) ++begin;
  std::size_t end = begin;
  while (end < rest.size() && !is_blank(rest[end])) ++end;
  const std::string_view token = rest.substr(begin, end - begin);
  rest.remove_prefix(end);
  return token;
}

bool parse_float(std::string_view token, float& value) { return parse_whole(token, value); }

bool parse_integer(std::string_view token, std::int64_t& value) {
  token = without_plus(token);
  const char* end = token.data() + token.size();
  const auto [at, code] = std::from_chars(token.data(), end, value);
  return !token.empty() && code == std::errc() && at == end;
}

}  // namespace vertisift::mesh_io
