// Which STL the front end reads. Strict is the grammar the extension promises, message for
// message. Lenient reads STL as other tools write it (ascii_reader.h, stl_reader.h say what
// more it takes), and still refuses what has no single meaning: a vertex of two coordinates,
// a facet of four vertices, a number that does not parse, a file cut short.
#pragma once

namespace vertisift::stl {

enum class StlDialect { Strict, Lenient };

}  // namespace vertisift::stl
