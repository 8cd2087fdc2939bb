#include "stl/binary_reader.h"

#include <algorithm>
#include <span>

namespace vertisift::stl {

using mesh_io::FaceStatus;
using mesh_io::FileStream;
using mesh_io::RawFace;
using mesh_io::ReadError;
using mesh_io::ReadResult;

ReadResult<std::unique_ptr<BinaryFaceReader>> BinaryFaceReader::open(FileStream& stream) {
  std::unique_ptr<BinaryFaceReader> reader(new BinaryFaceReader(stream));
  std::byte header[BINARY_HEADER_SIZE];
  if (auto error = reader->reader_.exact_read(header, sizeof header)) return *error;
  std::byte count[FACE_COUNT_SIZE];
  if (auto error = reader->reader_.exact_read(count, sizeof count)) return *error;
  reader->face_count_ = load_u32(count);
  return reader;
}

FaceStatus BinaryFaceReader::next(RawFace& face, ReadError& error) {
  if (delivered_ >= face_count_) return FaceStatus::End;
  ++delivered_;
  std::byte record[BINARY_RECORD_SIZE];
  if (auto failure = reader_.exact_read(record, sizeof record)) {
    error = std::move(*failure);
    return FaceStatus::Error;
  }
  decode_record(record, face);
  return FaceStatus::Face;
}

std::size_t BinaryFaceReader::next_batch(RawFace* faces, std::size_t capacity, FaceStatus& status,
                                         ReadError& error) {
  std::size_t filled = 0;
  while (filled < capacity) {
    if (delivered_ >= face_count_) {
      status = FaceStatus::End;
      return filled;
    }
    // Whole records straight from the buffer; a record split across refills goes the slow way.
    auto buffered = reader_.fill_buf();
    if (!buffered.ok()) {
      ++delivered_;
      error = std::move(buffered.error());
      status = FaceStatus::Error;
      return filled;
    }
    if (buffered.value().size() >= BINARY_RECORD_SIZE) {
      std::span<const std::byte> bytes = buffered.value();
      std::size_t records = std::min<std::uint64_t>(
          {bytes.size() / BINARY_RECORD_SIZE, capacity - filled, face_count_ - delivered_});
      for (std::size_t r = 0; r < records; ++r) {
        decode_record(bytes.data() + r * BINARY_RECORD_SIZE, faces[filled + r]);
      }
      reader_.consume(records * BINARY_RECORD_SIZE);
      delivered_ += records;
      filled += records;
      continue;
    }
    status = next(faces[filled], error);
    if (status != FaceStatus::Face) return filled;
    ++filled;
  }
  status = FaceStatus::Face;
  return filled;
}

}  // namespace vertisift::stl
