// The binary STL reader: an 80-byte header, a little-endian 32-bit face count, then one
// 50-byte record per face (normal, three corners, a 2-byte attribute word). The reader
// delivers exactly the announced count of faces; a file that ends before them is an
// UnexpectedEof error, and bytes after them are never read. The header and the attribute
// words are ignored unless a reading asks for them (keep_attributes), for the colours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "mesh_io/byte_order.h"
#include "mesh_io/face_source.h"
#include "mesh_io/file_stream.h"

namespace vertisift::stl {

inline constexpr std::size_t BINARY_HEADER_SIZE = 80;
inline constexpr std::size_t FACE_COUNT_SIZE = 4;
inline constexpr std::size_t BINARY_RECORD_SIZE = 50;

// The size of a binary file that holds the header, the count and `face_count` records.
constexpr std::uint64_t binary_file_size(std::uint64_t face_count) {
  return BINARY_HEADER_SIZE + FACE_COUNT_SIZE + BINARY_RECORD_SIZE * face_count;
}

// Every number in a binary file is a little-endian 32-bit word.
inline std::uint32_t load_u32(const std::byte* bytes) {
  return mesh_io::load_little<std::uint32_t>(bytes);
}

inline float load_f32(const std::byte* bytes) { return mesh_io::load_little<float>(bytes); }

// The attribute word of one record.
inline std::uint16_t load_attribute(const std::byte* record) {
  return mesh_io::load_little<std::uint16_t>(record + 48);
}

struct AttributeWords;  // stl/facet_colors.h

// The face of one BINARY_RECORD_SIZE-byte record, its values taken bit for bit.
inline void decode_record(const std::byte* record, mesh_io::RawFace& face) {
  face.normal = {load_f32(record), load_f32(record + 4), load_f32(record + 8)};
  for (int corner = 0; corner < 3; ++corner) {
    const std::byte* at = record + 12 + 12 * corner;
    face.vertices[corner] = {load_f32(at), load_f32(at + 4), load_f32(at + 8)};
  }
  // Bytes 48 and 49, the attribute word, are ignored.
}

class BinaryFaceReader final : public mesh_io::FaceSource {
 public:
  // Reads the header and the face count; `stream` is positioned at offset 0.
  static mesh_io::ReadResult<std::unique_ptr<BinaryFaceReader>> open(mesh_io::FileStream& stream);
  mesh_io::FaceStatus next(mesh_io::RawFace& face, mesh_io::ReadError& error) override;
  std::size_t next_batch(mesh_io::RawFace* faces, std::size_t capacity, mesh_io::FaceStatus& status,
                         mesh_io::ReadError& error) override;

  std::uint64_t face_count() const { return face_count_; }
  // From here on, the header and the attribute word of every face delivered go to `into`,
  // which is reset first.
  void keep_attributes(AttributeWords& into);
  // The face count, when a regular file holds that many records.
  std::uint64_t faces_hint() const override { return faces_hint_; }

 private:
  explicit BinaryFaceReader(mesh_io::FileStream& stream)
      : reader_(mesh_io::StreamSource{&stream}) {}

  mesh_io::StreamReader reader_;
  std::byte header_[BINARY_HEADER_SIZE]{};
  AttributeWords* attributes_ = nullptr;
  std::uint64_t face_count_ = 0;
  std::uint64_t faces_hint_ = 0;
  std::uint64_t delivered_ = 0;
};

}  // namespace vertisift::stl
