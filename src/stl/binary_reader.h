// The binary STL reader: an 80-byte header that is ignored, a little-endian 32-bit face
// count, then one 50-byte record per face (normal, three corners, a 2-byte attribute word).
// The reader delivers exactly the announced count of faces; a file that ends before them is
// an UnexpectedEof error, and bytes after them are never read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "stl/face_source.h"
#include "stl/file_stream.h"

namespace vertisift::stl {

inline constexpr std::size_t BINARY_HEADER_SIZE = 80;
inline constexpr std::size_t FACE_COUNT_SIZE = 4;
inline constexpr std::size_t BINARY_RECORD_SIZE = 50;

// The size of a binary file that holds the header, the count and `face_count` records.
constexpr std::uint64_t binary_file_size(std::uint64_t face_count) {
  return BINARY_HEADER_SIZE + FACE_COUNT_SIZE + BINARY_RECORD_SIZE * face_count;
}

class BinaryFaceReader final : public FaceSource {
 public:
  // Reads the header and the face count; `stream` is positioned at offset 0.
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
