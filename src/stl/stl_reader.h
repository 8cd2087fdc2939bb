// The STL front end: open the file, tell ASCII from binary by its first line, read the faces
// with the matching reader and build the IndexedMesh. Also the binary reader itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "stl/face_source.h"
#include "stl/file_stream.h"
#include "stl/indexed_mesh.h"

namespace vertisift::stl {

inline constexpr const char* READ_ERROR_PREFIX = "Ошибка чтения STL-файла: ";
inline constexpr std::size_t BINARY_HEADER_SIZE = 80;
inline constexpr std::size_t BINARY_RECORD_SIZE = 50;

// The path as the caller's text: UTF-8, or, for text that UTF-8 cannot hold (unpaired
// surrogates), its wide code units.
using PathText = std::variant<std::string, std::wstring>;

// The bytes to hand to the system for `path`. Wide text is encoded as UTF-8, except that the
// lone surrogates U+DC80..U+DCFF stand for the raw bytes 0x80..0xFF (the convention Python
// uses for undecodable file names); any other unpaired surrogate makes an InvalidInput error.
ReadResult<std::string> path_to_bytes(const PathText& path);

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

class BinaryFaceReader final : public FaceSource {
 public:
  static ReadResult<std::unique_ptr<BinaryFaceReader>> open(FileStream& stream);
  FaceStatus next(RawFace& face, ReadError& error) override;
  std::size_t next_batch(RawFace* faces, std::size_t capacity, FaceStatus& status,
                         ReadError& error) override;

  std::uint64_t face_count() const { return face_count_; }

 private:
  explicit BinaryFaceReader(FileStream& stream) : reader_(StreamSource{&stream}) {}

  StreamReader reader_;
  std::uint64_t face_count_ = 0;
  std::uint64_t delivered_ = 0;
};

}  // namespace vertisift::stl
