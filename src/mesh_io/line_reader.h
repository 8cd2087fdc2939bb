// LineReader: the lines of a text file from a ByteSource, for the text formats and the text
// header of PLY. A line ends at LF, CR LF or a CR alone; the end is not part of the line,
// and the last line may lack one. After the lines, the bytes that follow can be taken as
// they are (the binary body of a PLY file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "mesh_io/byte_source.h"
#include "mesh_io/read_error.h"

namespace vertisift::mesh_io {

class LineReader {
 public:
  explicit LineReader(ByteSource& source) : source_(source) {}

  // The next line, valid until the next call of any member; false at the end of the file.
  ReadResult<bool> next(std::string_view& line);

  // The number of the line last returned, from 1.
  std::uint64_t line_number() const { return line_number_; }
  // The offset in the file of the first byte not yet returned.
  std::uint64_t offset() const { return offset_; }

  // The bytes after the last line returned, as they are, a block at a time: valid until the
  // next call of any member, empty at the end of the file. A CR LF after the last line is its
  // end, as anywhere else, even when the two fall into different blocks.
  ReadResult<std::span<const std::byte>> next_bytes();

 private:
  // Refills block_ when it is used up; false at the end of the file.
  ReadResult<bool> refill();

  ByteSource& source_;
  std::span<const std::byte> block_;  // what is left of the source's current block
  std::string carry_;                 // a line that runs across blocks
  bool after_cr_ = false;             // the last line ended at a CR: skip one LF after it
  std::uint64_t line_number_ = 0;
  std::uint64_t offset_ = 0;
};

}  // namespace vertisift::mesh_io
