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
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "mesh_io/path_text.h"
#include "mesh_io/read_error.h"
#include "mesh_io/side_files.h"
#include "mesh_io/stored_mesh.h"
#include "stl/dialect.h"

namespace vertisift::formats {

// The most bytes of a file's start that a content check looks at.
inline constexpr std::size_t HEAD_BYTES = 64;

// The file at `path` read whole; `side_files` opens the files that it names beside itself,
// `dialect` is STL's alone.
using ReadMesh = mesh_io::ReadResult<mesh_io::StoredMesh> (*)(const mesh_io::PathText& path,
                                                              stl::StlDialect dialect,
                                                              mesh_io::SideFiles& side_files);

struct MeshFormat {
  std::string_view name;
  // Lower case, each with its dot; a file's suffix matches in any case.
  std::span<const std::string_view> suffixes;
  // Whether up to HEAD_BYTES of a file's start look like this format.
  bool (*looks_like)(std::span<const std::byte> head);
  ReadMesh read;
};

// The name of STL, whose faces come through the STL front end (stl/), merged into vertices.
inline constexpr std::string_view STL_FORMAT = "stl";

// Every format, in a fixed order.
std::span<const MeshFormat> mesh_formats();

// The format called `name`, or null when no row has that name.
const MeshFormat* find_format(std::string_view name);

}  // namespace vertisift::formats
