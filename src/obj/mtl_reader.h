// The material library reader: the materials of an MTL file, for the OBJ reader.
//
// Read: `newmtl NAME` (the rest of the line, trimmed), `Kd r g b` (one number: grey), `d a`
// and `Tr t` (alpha 1 - t; the later of the two wins), and `map_Kd [options] FILE`: of the
// options, `-o u [v [w]]` and `-s u [v [w]]` are read, the others (-blendu, -blendv, -bm,
// -boost, -cc, -clamp, -imfchan, -mm, -t, -texres, -type) are skipped with their arguments
// and counted as "map_Kd option -NAME"; the file name is the rest of the line after them,
// blanks kept. A statement before the first `newmtl` applies to none. Every other statement
// is ignored; `#` starts a comment; lines end in LF, CR LF or CR.
//
// A malformed number in a statement that is read, or an unknown map_Kd option, fails the
// library as a whole.
#pragma once

#include <string_view>
#include <vector>

#include "mesh_io/byte_source.h"
#include "mesh_io/mesh.h"
#include "mesh_io/read_error.h"

namespace vertisift::obj {

struct MaterialLibrary {
  std::vector<mesh_io::Material> materials;  // in the file's order
  std::vector<mesh_io::Mesh::Ignored> ignored;
};

mesh_io::ReadResult<MaterialLibrary> read_mtl(mesh_io::ByteSource& source);

}  // namespace vertisift::obj
