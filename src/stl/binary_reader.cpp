#include "stl/binary_reader.h"

#include <algorithm>
#include <span>

#include "stl/facet_colors.h"

namespace vertisift::stl {

mesh_io::ReadResult<std::unique_ptr<BinaryFaceReader>> BinaryFaceReader::open(
    mesh_io::FileStream& stream) {
  std::unique_ptr<BinaryFaceReader> reader(new BinaryFaceReader(stream));
  if (auto error = reader->reader_.exact_read(reader->header_, sizeof reader->header_)) {
    return *error;
  }
  std::byte count[FACE_COUNT_SIZE];
  if (auto error = reader->reader_.exact_read(count, sizeof count)) return *error;
  reader->face_count_ = load_u32(count);
  if (stream.is_regular()) {
    auto size = stream.size();
    if (size.ok() && size.value() >= binary_file_size(reader->face_count_)) {
      reader->faces_hint_ = reader->face_count_;
    }
  }
  return reader;
}

void BinaryFaceReader::keep_attributes(AttributeWords& into) {
  into.reset();
  into.binary = true;
  std::copy(std::begin(header_), std::end(header_), into.header);
  into.expected = static_cast<std::size_t>(faces_hint_);
  attributes_ = &into;
}

mesh_io::FaceStatus BinaryFaceReader::next(mesh_io::RawFace& face, mesh_io::ReadError& error) {
  if (delivered_ >= face_count_) return mesh_io::FaceStatus::End;
  ++delivered_;
  std::byte record[BINARY_RECORD_SIZE];
  if (auto failure = reader_.exact_read(record, sizeof record)) {
    error = std::move(*failure);
    return mesh_io::FaceStatus::Error;
  }
  decode_record(record, face);
  if (attributes_) attributes_->add_records(record, 1);
  return mesh_io::FaceStatus::Face;
}

std::size_t BinaryFaceReader::next_batch(mesh_io::RawFace* faces, std::size_t capacity,
                                         mesh_io::FaceStatus& status, mesh_io::ReadError& error) {
  std::size_t filled = 0;
  while (filled < capacity) {
    if (delivered_ >= face_count_) {
      status = mesh_io::FaceStatus::End;
      return filled;
    }
    // Whole records straight from the buffer; a record split across refills goes the slow way.
    auto buffered = reader_.fill_buf();
    if (!buffered.ok()) {
      ++delivered_;
      error = std::move(buffered.error());
      status = mesh_io::FaceStatus::Error;
      return filled;
    }
    if (buffered.value().size() >= BINARY_RECORD_SIZE) {
      std::span<const std::byte> bytes = buffered.value();
      std::size_t records = std::min<std::uint64_t>(
          {bytes.size() / BINARY_RECORD_SIZE, capacity - filled, face_count_ - delivered_});
      for (std::size_t r = 0; r < records; ++r) {
        decode_record(bytes.data() + r * BINARY_RECORD_SIZE, faces[filled + r]);
      }
      if (attributes_) attributes_->add_records(bytes.data(), records);
      reader_.consume(records * BINARY_RECORD_SIZE);
      delivered_ += records;
      filled += records;
      continue;
    }
    status = next(faces[filled], error);
    if (status != mesh_io::FaceStatus::Face) return filled;
    ++filled;
  }
  status = mesh_io::FaceStatus::Face;
  return filled;
}

}  // namespace vertisift::stl
