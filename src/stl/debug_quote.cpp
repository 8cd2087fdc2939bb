#include "stl/debug_quote.h"

#include <algorithm>

#include "base/utf8.h"

namespace vertisift::stl {
namespace {

struct CodePointRange {
  std::uint32_t first;
  std::uint32_t last;
};

#include "stl/unicode_tables.inc"

void append_unicode_escape(std::string& out, std::uint32_t code_point) {
  constexpr char HEX_DIGITS[] = "0123456789abcdef";
  char digits[8];
  int count = 0;
  do {
    digits[count++] = HEX_DIGITS[code_point & 0xF];
    code_point >>= 4;
  } while (code_point != 0);
  out += "\\u{";
  while (count > 0) out += digits[--count];
  out += '}';
}

}  // namespace

bool needs_unicode_escape(std::uint32_t code_point) {
  const auto* end = std::end(ESCAPED_CODE_POINTS);
  // The first range that ends at or after the code point.
  const auto* range = std::lower_bound(
      std::begin(ESCAPED_CODE_POINTS), end, code_point,
      [](const CodePointRange& candidate, std::uint32_t value) { return candidate.last < value; });
  return range != end && range->first <= code_point;
}

void append_debug_quoted(std::string& out, std::string_view item) {
  out += '"';
  std::size_t at = 0;
  while (at < item.size()) {
    const std::size_t start = at;
    const std::uint32_t code_point = base::decode_utf8(item, at);
    switch (code_point) {
      case 0: out += "\\0"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      default: break;
    }
    if (needs_unicode_escape(code_point)) {
      append_unicode_escape(out, code_point);
    } else {
      out.append(item.substr(start, at - start));
    }
  }
  out += '"';
}

std::string debug_quote(std::span<const std::string_view> items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    append_debug_quoted(out, items[i]);
  }
  out += ']';
  return out;
}

}  // namespace vertisift::stl
