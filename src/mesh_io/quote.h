// The text of a file as the readers' error messages quote it (names, tokens, lines): short,
// on one line, every byte recoverable from the message.
#pragma once

#include <string>
#include <string_view>

namespace vertisift::mesh_io {

// `text` in double quotes, cut before the character that would pass 40 bytes ("..." marks
// the cut), with '"' and '\\' backslash-escaped. UTF-8 characters are kept as they are; every
// other byte below 0x20 or from 0x7f on is written as \xNN: the controls, bytes that are not
// UTF-8, and the C1 controls and line and paragraph separators, which would break the line.
std::string quote(std::string_view text);

}  // namespace vertisift::mesh_io
