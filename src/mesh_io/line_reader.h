// LineReader: the lines of a text file from a ByteSource, for the text formats and the text
// header of PLY. A line ends at LF, CR LF or a CR alone; the end is not part of the line,
// and the last line may lack one. After the lines, the bytes that follow can be taken as
// they are (the binary body of a PLY file).
//
// A line is held whole up to a bound, MAX_LINE_BYTES unless the reader is given another. A
// longer one is cut after its first bytes when the reader's caller says that nothing after
// them can matter (a comment, or a line whose comment has begun): the rest streams past and
// is never held. Otherwise it is an error, "<format> line N: the line is longer than 4 MiB",
// so that a file without line ends (a device of zeros) costs no more than the bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "mesh_io/byte_source.h"
#include "mesh_io/read_error.h"

namespace vertisift::mesh_io {

// The longest line the readers hold: far beyond any line of geometry, and a small part of
// the memory a large mesh takes.
inline constexpr std::size_t MAX_LINE_BYTES = std::size_t{4} << 20;

// Whether a line that begins with `head` may be cut after it, the rest skipped unread.
using LineCut = bool (*)(std::string_view head);

// "<format> line N: the line is longer than 4 MiB" (the bound in MiB, or in bytes).
ReadError line_too_long(std::string_view format, std::uint64_t line, std::size_t longest);

class LineReader {
 public:
  // `format` names the format in the error of a line longer than `longest` bytes.
  LineReader(ByteSource& source, std::string_view format, std::size_t longest = MAX_LINE_BYTES)
      : source_(source), format_(format), longest_(longest) {}

  // The next line, valid until the next call of any member; false at the end of the file. A
  // line longer than the bound is its first `longest` bytes when `may_cut` approves of
  // them, and an error otherwise.
  ReadResult<bool> next(std::string_view& line, LineCut may_cut = nullptr);

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
  std::string_view format_;
  std::size_t longest_;
  std::span<const std::byte> block_;  // what is left of the source's current block
  std::string carry_;                 // a line that runs across blocks
  bool after_cr_ = false;             // the last line ended at a CR: skip one LF after it
  std::uint64_t line_number_ = 0;
  std::uint64_t offset_ = 0;
};

}  // namespace vertisift::mesh_io
