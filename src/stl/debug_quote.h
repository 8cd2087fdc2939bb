// The rendering of token lists in the ASCII reader's error messages: ["facet", "normal", ...]
// with each item in double quotes and every character a reader could not see or would
// misread written as an escape. The code-point tables come from the Unicode version named in
// unicode_tables.inc.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vertisift::stl {

// Appends `item` in double quotes: \" \\ \0 \t \n \r for those characters, \u{hex} for
// controls, format characters, private use, surrogates, unassigned code points, separators
// other than U+0020, and grapheme extenders; everything else unchanged. `item` is valid UTF-8.
void append_debug_quoted(std::string& out, std::string_view item);

// "[" then the quoted items separated by ", ", then "]".
std::string debug_quote(std::span<const std::string_view> items);

// True for the code points that append_debug_quoted writes as \u{...} (backslash escapes
// aside).
bool needs_unicode_escape(std::uint32_t code_point);

}  // namespace vertisift::stl
