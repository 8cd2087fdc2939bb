#include "mesh_io/path_text.h"

#include <cstdint>

#include "base/utf8.h"

namespace vertisift::mesh_io {

ReadResult<std::string> path_to_bytes(const PathText& path) {
  if (const auto* utf8 = std::get_if<std::string>(&path)) return *utf8;
  const std::wstring& wide = std::get<std::wstring>(path);
  std::string bytes;
  bytes.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    auto unit = static_cast<std::uint32_t>(wide[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size()) {
      auto next = static_cast<std::uint32_t>(wide[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {  // a pair, should the units be UTF-16
        base::append_utf8(bytes, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    if (unit >= 0xDC80 && unit <= 0xDCFF) {
      bytes.push_back(static_cast<char>(unit - 0xDC00));
    } else if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) {
      // Fixed by compatibility: must stay exactly so.
      return ReadError::invalid_input("path contains an unpaired surrogate that has no byte form");
    } else {
      base::append_utf8(bytes, unit);
    }
  }
  return bytes;
}

}  // namespace vertisift::mesh_io
