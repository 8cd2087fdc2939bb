// The mesh formats that can be read, in one table: each format's name (what the package and
// the native functions call it), its suffixes, a cheap check of its first bytes, and the
// function that reads a file of it. read_mesh_file dispatches through this table alone, so a
// format is added here, once, and nowhere else.
//
// Design: MESH_FORMATS is a constant array of rows written with designated initializers; the
// rows, their suffix lists and their names are static, so a row or a name can be held for
// the process's life. The reader of a file is chosen by the name the caller gives (the
// package takes it from the file's suffix, and STL for any suffix that is no row's); the
// content check never changes that choice, it says only whether a file's bytes look like the
// format, for messages and for readers yet to come. STL's check accepts anything.
//
// A row's reader takes the model's bytes as an opened stream at its start, a file's or
// bytes held in memory (mesh_io::FileStream::in_memory, a regular file to every reader), so
// one reader serves both and gives the same mesh of the same bytes.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "mesh_io/file_stream.h"
#include "mesh_io/mesh.h"
#include "mesh_io/read_error.h"
#include "mesh_io/side_files.h"
#include "stl/dialect.h"

namespace vertisift::formats {

// The most bytes of a file's start that a content check looks at.
inline constexpr std::size_t HEAD_BYTES = 64;

// How a file is read: `dialect` is STL's alone; with `loose_corners`, a format that stores no
// vertex table (STL) gives each face its own three corners (a mesh of loose corners) instead
// of merging the corners identical bit for bit into vertices; the others ignore it.
struct ReadOptions {
  stl::StlDialect dialect = stl::StlDialect::Lenient;
  bool loose_corners = false;
};

// The model that `file` reads, from its start, read whole; `side_files` opens the files that
// it names.
using ReadMesh = mesh_io::ReadResult<mesh_io::Mesh> (*)(mesh_io::FileStream& file,
                                                        const ReadOptions& options,
                                                        mesh_io::SideFiles& side_files);

struct MeshFormat {
  std::string_view name;
  // Lower case, each with its dot; a file's suffix matches in any case.
  std::span<const std::string_view> suffixes;
  // Whether up to HEAD_BYTES of a file's start look like this format.
  bool (*looks_like)(std::span<const std::byte> head);
  ReadMesh read;
};

// The name of STL, whose faces come through the STL front end (stl/), merged into vertices
// unless read with loose corners; their stored normals are the mesh's face stream "normal".
inline constexpr std::string_view STL_FORMAT = "stl";

// Every format, in a fixed order.
std::span<const MeshFormat> mesh_formats();

// The format called `name`, or null when no row has that name.
const MeshFormat* find_format(std::string_view name);

}  // namespace vertisift::formats
