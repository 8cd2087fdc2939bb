// The path of the file to read, as the caller's text, and its conversion to the bytes that
// the system opens.
#pragma once

#include <string>
#include <variant>

#include "mesh_io/read_error.h"

namespace vertisift::mesh_io {

// The path as the caller's text: UTF-8, or, for text that UTF-8 cannot hold (unpaired
// surrogates), its wide code units.
using PathText = std::variant<std::string, std::wstring>;

// The bytes to hand to the system for `path`. Wide text is encoded as UTF-8, except that the
// lone surrogates U+DC80..U+DCFF stand for the raw bytes 0x80..0xFF (the convention Python
// uses for undecodable file names); any other unpaired surrogate makes an InvalidInput error.
ReadResult<std::string> path_to_bytes(const PathText& path);

}  // namespace vertisift::mesh_io
