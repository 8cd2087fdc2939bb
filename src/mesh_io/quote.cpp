#include "mesh_io/quote.h"

namespace vertisift::mesh_io {

std::string quote(std::string_view text) {
  constexpr std::size_t LONGEST = 40;
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size() && i < LONGEST; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += HEX[byte >> 4];
      out += HEX[byte & 15];
    } else {
      out += static_cast<char>(byte);
    }
  }
  if (text.size() > LONGEST) out += "...";
  out += '"';
  return out;
}

}  // namespace vertisift::mesh_io
