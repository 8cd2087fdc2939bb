// The text of a statement as OBJ and its material libraries write it: blanks at its ends, and
// the comment after it.
#pragma once

#include <cstddef>
#include <string_view>

#include "mesh_io/text_numbers.h"

namespace vertisift::obj {

// `text` without the blanks at its ends.
inline std::string_view trimmed(std::string_view text) {
  while (!text.empty() && mesh_io::is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && mesh_io::is_blank(text.back())) text.remove_suffix(1);
  return text;
}

// `text` up to its comment: a '#' at its start or after a blank (one inside a name stays).
inline std::string_view before_comment(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '#' && (i == 0 || mesh_io::is_blank(text[i - 1]))) return text.substr(0, i);
  }
  return text;
}

}  // namespace vertisift::obj
