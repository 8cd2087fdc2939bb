#include "mesh_io/quote.h"

#include <cstdint>

#include "base/utf8.h"

namespace vertisift::mesh_io {
namespace {

constexpr std::size_t LONGEST = 40;

// The length of the character at text[at] when it is UTF-8 of two to four bytes that a
// message shows as it is; 0 for anything else.
std::size_t shown_length(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || length > text.size() - at || !base::is_valid_utf8(text.substr(at, length))) {
    return 0;
  }
  const std::uint32_t code_point = base::decode_utf8(text, at);
  return code_point < 0xA0 || code_point == 0x2028 || code_point == 0x2029 ? 0 : length;
}

}  // namespace

std::string quote(std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out = "\"";
  std::size_t at = 0;
  while (at < text.size()) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const std::size_t shown = byte < 0x80 ? 0 : shown_length(text, at);
    const std::size_t length = shown > 0 ? shown : 1;
    if (at + length > LONGEST) break;
    if (shown > 0) {
      out += text.substr(at, shown);
    } else if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte < 0x20 || byte >= 0x7f) {
      out += "\\x";
      out += HEX[byte >> 4];
      out += HEX[byte & 15];
    } else {
      out += static_cast<char>(byte);
    }
    at += length;
  }
  if (at < text.size()) out += "...";
  out += '"';
  return out;
}

}  // namespace vertisift::mesh_io
