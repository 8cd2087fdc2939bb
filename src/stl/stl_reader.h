// The STL front end: open the file, tell ASCII from binary by its first line, read the faces
// with the matching reader (falling back to the other reading when the first one fails on
// the content) and build the IndexedMesh, or hand the faces on in blocks to a caller that
// merges them itself (read_stl_blocks).
//
// Every reading takes a dialect (stl/dialect.h), Strict unless told otherwise. The lenient
// dialect reads ASCII files by the lenient grammar (ascii_reader.h), and decides between the
// two forms differently: a regular file whose size is exactly that of the binary records its
// header announces is binary, whatever its first bytes say; otherwise the lenient first line
// decides; and when the ASCII reading fails, the binary reading is taken if the file holds
// every record its header announces, bytes after them ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "mesh_io/face_source.h"
#include "mesh_io/file_stream.h"
#include "mesh_io/indexed_mesh.h"
#include "mesh_io/path_text.h"
#include "stl/dialect.h"

namespace vertisift::stl {

// The mesh and the file it came from; the caller closes the file when it is done with both.
struct StlFile {
  mesh_io::FileStream stream;
  mesh_io::IndexedMesh mesh;
};

struct AttributeWords;  // stl/facet_colors.h

// With `words`, the readings below leave there the header and the attribute words of the faces
// read when the file was read as binary (for the colours, stl/facet_colors.h), and mark them
// as not binary otherwise. Without it the binary reader never looks at them.
mesh_io::ReadResult<StlFile> read_stl_file(const mesh_io::PathText& path,
                                           StlDialect dialect = StlDialect::Strict,
                                           AttributeWords* words = nullptr);

// The file that `stream` reads, from its start, read as read_stl_file reads the file at a path
// (the same probe, readers, fallback and errors), on the calling thread alone.
mesh_io::ReadResult<mesh_io::IndexedMesh> read_stl_stream(mesh_io::FileStream& stream,
                                                          StlDialect dialect = StlDialect::Strict,
                                                          AttributeWords* words = nullptr);

// The file held in `bytes`, read as read_stl_file reads a regular file of those bytes (the same
// probe, readers, fallback and errors), on the calling thread alone. Each read of the bytes
// gives at most `piece` of them, so that tests cut lines and records where they like.
mesh_io::ReadResult<mesh_io::IndexedMesh> read_stl_memory(std::span<const std::byte> bytes,
                                                          StlDialect dialect = StlDialect::Strict,
                                                          std::size_t piece = SIZE_MAX,
                                                          AttributeWords* words = nullptr);

// The size of the blocks read_stl_blocks reads a regular binary file in, and of the batches of
// faces it hands on otherwise.
inline constexpr std::size_t READ_BLOCK_SIZE = std::size_t{1} << 20;
// Blocks read ahead of the one being handed on: at most this many plus one are held at once.
inline constexpr std::size_t BLOCKS_AHEAD = 3;

// Receives the faces of one file in blocks, in file order. All calls come from the thread
// that called read_stl_blocks.
class FaceBlockSink {
 public:
  virtual ~FaceBlockSink() = default;
  // Forget every face received so far: the file is read again from its first face.
  virtual void restart() = 0;
  // Whole binary records, BINARY_RECORD_SIZE bytes each.
  virtual void add_records(std::span<const std::byte> records) = 0;
  // Faces as a reader delivers them.
  virtual void add_faces(std::span<const mesh_io::RawFace> faces) = 0;

  // About `faces` faces are coming (exactly, for a binary file that holds its records): said
  // before the first of them, so that the sink can size its tables once.
  virtual void expect_faces(std::uint64_t /*faces*/) {}

  // A regular file read in `parts` contiguous ranges at once, one task of run_parts each:
  // begin_parts says so first; add_part_records (a binary file) or add_part_faces (an ASCII
  // one) comes from the task of `part` with the faces of its range in file order, block
  // after block; end_parts(used), on the calling thread once every part is done, keeps the
  // faces of the first `used` parts and drops the rest. A sink that takes faces in file order
  // only refuses, and they come through add_records or add_faces instead.
  virtual bool begin_parts(std::size_t /*parts*/) { return false; }
  virtual void add_part_records(std::size_t /*part*/, std::span<const std::byte> /*records*/) {}
  virtual void add_part_faces(std::size_t /*part*/, std::span<const mesh_io::RawFace> /*faces*/) {}
  virtual void end_parts(std::size_t /*used*/) {}

  // How many parts at once run_parts can run to advantage.
  virtual std::size_t part_count() { return 1; }
  // Runs task(part) for every part in [0, parts), perhaps on several threads at once, and
  // returns when all are done; a fault in any is rethrown here.
  virtual void run_parts(std::size_t parts, const std::function<void(std::size_t)>& task) {
    for (std::size_t part = 0; part < parts; ++part) task(part);
  }
};

// Reads the file at `path` with the same outcome as read_stl_file (the same probe, readers,
// fallback and errors), handing the faces to `sink` instead of building a mesh. When the
// result is an error, whatever the sink received is to be dropped.
//
// A regular file is read in blocks of `block_size` bytes (whole records for a binary file),
// up to BLOCKS_AHEAD of them ahead on a thread of its own that ends before the call returns.
// A binary file that holds every record its header announces needs nothing more; when the
// sink runs several parts and takes faces in parts, each part reads a contiguous range of at
// least one block on its own instead, with the outcome of reading them in order. An ASCII
// file is parsed in parts at once (sink.run_parts) as long as it keeps to the plain form
// (plain_ascii.h) up to the "endsolid" line: in the strict dialect, with a sink that takes
// faces in parts, each part parses a contiguous share of the file's bytes on its own; else
// each block, cut at facets. At anything else the ASCII reader reads the file again from the
// start and decides. Every other file (a pipe, a
// device) is streamed through the face readers alone, as is a binary file short of records,
// and handed on in batches of about `block_size` bytes' worth of faces. `block_size` is
// settable for tests only.
mesh_io::ReadStatus read_stl_blocks(const mesh_io::PathText& path, FaceBlockSink& sink,
                                    std::size_t block_size = READ_BLOCK_SIZE,
                                    StlDialect dialect = StlDialect::Strict);

// How many files read_stl_blocks has read to their "endsolid" line by parsing plain ASCII in
// parts, in this process. The parallel path falls back to the ASCII reader at any surprise, so
// a fault in it would only cost time; the tests watch this count to see that it ran.
std::uint64_t plain_ascii_reads();

// Reads the faces of the file at `path` as read_stl_file does (the same probe, readers,
// fallback and errors) but builds no mesh: the chosen reader is handed to `consume`, which
// drains it and returns the first error it meets. When the first reading fails on the
// content and the other one is tried, `consume` is called a second time and must start
// afresh. Returns the error that ended the reading, if any.
using FaceConsumer = std::function<mesh_io::ReadStatus(mesh_io::FaceSource&)>;
mesh_io::ReadStatus read_stl_faces(const mesh_io::PathText& path, const FaceConsumer& consume,
                                   StlDialect dialect = StlDialect::Strict,
                                   AttributeWords* words = nullptr);
// The same, of the file that `stream` reads, from its start.
mesh_io::ReadStatus read_stl_faces(mesh_io::FileStream& stream, const FaceConsumer& consume,
                                   StlDialect dialect = StlDialect::Strict,
                                   AttributeWords* words = nullptr);

// Strict: true when the first line (up to and including the first LF) is valid UTF-8 and
// begins with "solid ". Lenient: false for a regular file of exactly the binary size its
// header announces, else true when the first line keeps to the lenient rule
// (read_lenient_first_line). Leaves the stream rewound to offset 0 when it can. Never fails.
bool probe_ascii(mesh_io::FileStream& stream, StlDialect dialect = StlDialect::Strict);

}  // namespace vertisift::stl
