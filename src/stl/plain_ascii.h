// Plain ASCII facets parsed from text in memory, so that parts of a file can be parsed at once.
//
// The plain form is the ASCII reader's grammar restricted to lines of ASCII bytes, tokens
// separated by ASCII white space, and finite numbers. Within it the two parsings agree face
// for face. Anything else (a byte above 0x7F, a token out of place, a number that does not
// parse or is not finite, a facet cut off by the end of the text) is a departure: the parse
// stops there and the caller lets the ASCII reader decide the file's outcome.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "mesh_io/face_source.h"

namespace vertisift::stl {

enum class PlainStop {
  Clean,      // facets up to exactly `end`
  Endsolid,   // an "endsolid" line where a facet could start: the end of the faces
  Departure,  // something outside the plain form
};

struct PlainParse {
  PlainStop stop;
  std::size_t at;  // where the parse stopped: `end`, the endsolid line, or the departing line
};

// Parses whole facets from `begin` (the start of a line between two facets) until a facet
// ends exactly at `end` (the start of a line, or the size of `text`), appending them to
// `faces`. Lines are read up to an LF or the end of `text`; a facet may be read past `end`,
// and then departs. With `cr_ends_lines` (the lenient dialect, whose reader ends a line at a
// CR), a line that holds a CR anywhere but at its end departs.
PlainParse parse_plain_facets(std::string_view text, std::size_t begin, std::size_t end,
                              std::vector<mesh_io::RawFace>& faces, bool cr_ends_lines = false);

// The start of the first line in [from, end) whose first token is "facet" or "endsolid", or
// `end`; `from` is the start of a line.
std::size_t next_facet_start(std::string_view text, std::size_t from, std::size_t end);

// The start of the last line in [from, end) whose first token is "facet" or "endsolid", or
// `from` when there is none; `end` is the start of a line.
std::size_t last_facet_start(std::string_view text, std::size_t from, std::size_t end);

}  // namespace vertisift::stl
