// The STL front end: open the file, tell ASCII from binary by its first line, read the faces
// with the matching reader (falling back to the other reading when the first one fails on
// the content) and build the IndexedMesh.
#pragma once

#include <functional>

#include "stl/face_source.h"
#include "stl/file_stream.h"
#include "stl/indexed_mesh.h"
#include "stl/path_text.h"

namespace vertisift::stl {

// Put before the display text of every read failure. Fixed by compatibility: it must stay
// exactly so, in Russian.
inline constexpr const char* READ_ERROR_PREFIX = "Ошибка чтения STL-файла: ";

// The mesh and the file it came from; the caller closes the file when it is done with both.
struct StlFile {
  FileStream stream;
  IndexedMesh mesh;
};

ReadResult<StlFile> read_stl_file(const PathText& path);

// Reads the faces of the file at `path` as read_stl_file does (the same probe, readers,
// fallback and errors) but builds no mesh: the chosen reader is handed to `consume`, which
// drains it and returns the first error it meets. When the first reading fails on the
// content and the other one is tried, `consume` is called a second time and must start
// afresh. Returns the error that ended the reading, if any.
using FaceConsumer = std::function<ReadStatus(FaceSource&)>;
ReadStatus read_stl_faces(const PathText& path, const FaceConsumer& consume);

// True when the first line (up to and including the first LF) is valid UTF-8 and begins with
// "solid ". Leaves the stream rewound to offset 0 when it can. Never fails.
bool probe_ascii(FileStream& stream);

}  // namespace vertisift::stl
