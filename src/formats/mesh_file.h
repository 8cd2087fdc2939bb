// One mesh file of any supported format, read as a whole by the format's own reader, which
// checks the content (the caller names the format, from the file's suffix). The reader is
// the one that registry.h's table gives for the name. STL's faces come through the STL front
// end and are merged into vertices bit for bit (or kept as loose corners); the indexed
// formats keep their vertices as stored. A model's bytes come from its file, or from memory
// that the caller holds: the same reader reads them as a regular file of those bytes, so
// both give the same mesh.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "formats/registry.h"
#include "mesh_io/mesh.h"
#include "mesh_io/path_text.h"
#include "mesh_io/read_error.h"
#include "mesh_io/side_files.h"
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

// The mesh in `bytes` (which the caller holds for the call), read as read_mesh_file reads a
// regular file that holds them, its side files opened through `side_files`. When the side
// files stopped the reading (SideFiles::stopped), its mesh is dropped for an InvalidData error
// of mesh_io::STOPPED_MESSAGE.
mesh_io::ReadResult<mesh_io::Mesh> read_mesh_bytes(std::span<const std::byte> bytes,
                                                   std::string_view format,
                                                   const ReadOptions& options,
                                                   mesh_io::SideFiles& side_files);

}  // namespace vertisift::formats
