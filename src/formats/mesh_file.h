// One mesh file of any supported format, read as a whole by the format's own reader, which
// checks the content (the caller names the format, from the file's suffix). STL's faces come
// through the STL front end and are merged into vertices bit for bit; the indexed formats keep
// their vertices as stored.
#pragma once

#include "mesh_io/path_text.h"
#include "mesh_io/read_error.h"
#include "mesh_io/stored_mesh.h"
#include "stl/stl_reader.h"

namespace vertisift::formats {

enum class MeshFormat { Stl, Off, Obj, Ply };

// The mesh in the file at `path`, read as `format`: for STL with `dialect`, its merged
// vertices in order of first occurrence and its faces (stored face normals left out); for
// the others, as their readers deliver it, normals included.
mesh_io::ReadResult<mesh_io::StoredMesh> read_mesh_file(const mesh_io::PathText& path,
                                                        MeshFormat format, stl::StlDialect dialect);

}  // namespace vertisift::formats
