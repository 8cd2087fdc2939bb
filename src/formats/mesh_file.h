// One mesh file of any supported format, read as a whole by the format's own reader, which
// checks the content (the caller names the format, from the file's suffix). The reader is
// the one that registry.h's table gives for the name. STL's faces come through the STL front
// end and are merged into vertices bit for bit (or kept as loose corners); the indexed
// formats keep their vertices as stored.
#pragma once

#include <string_view>

#include "formats/registry.h"
#include "mesh_io/mesh.h"
#include "mesh_io/path_text.h"
#include "mesh_io/read_error.h"
#include "stl/dialect.h"

namespace vertisift::formats {

// The mesh in the file at `path`, read as the format called `format` with `options`: for STL,
// its merged vertices in order of first occurrence (or its faces' own corners) and its faces,
// with their stored normals as a face stream; for the others, as their readers deliver it. Side
// files are opened beside the file (mesh_io::FolderSideFiles). A name that no format has is
// an InvalidInput error, and nothing is read.
mesh_io::ReadResult<mesh_io::Mesh> read_mesh_file(const mesh_io::PathText& path,
                                                  std::string_view format,
                                                  const ReadOptions& options);

}  // namespace vertisift::formats
