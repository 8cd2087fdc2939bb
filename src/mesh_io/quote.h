// The text of a file as the OFF and OBJ readers' error messages quote it: short, on one line,
// control bytes escaped.
#pragma once

#include <string>
#include <string_view>

namespace vertisift::mesh_io {

// `text` in double quotes, cut after 40 bytes ("..." marks the cut), with '"' and '\\'
// backslash-escaped and every byte below 0x20 or 0x7f written as \xNN.
std::string quote(std::string_view text);

}  // namespace vertisift::mesh_io
