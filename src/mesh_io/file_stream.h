// Sequential, buffered reading of one file.
//
// RawFile owns the descriptor (opened read-only, never created) and repeats opens and reads
// that a signal interrupted, unless the caller's interrupt check (base/interrupt.h) says to
// stop: then they fail with the system's EINTR error. RawFile::in_memory reads bytes the
// caller holds instead, as a regular file of that size whose reads give at most `piece` bytes
// each (as a pipe's may), for the readers' in-memory tests and fuzzing.
// BufferedReader puts an 8192-byte buffer in front of any source with a `read`; FileStream is the
// buffered file itself, and the probe and each face reader put a BufferedReader of their own in
// front of the FileStream. A read larger than the buffer, arriving while the buffer is empty,
// bypasses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/pod_vector.h"
#include "mesh_io/path_text.h"
#include "mesh_io/read_error.h"

namespace vertisift::mesh_io {

inline constexpr std::size_t READ_BUFFER_SIZE = 8192;

class RawFile {
 public:
  RawFile() = default;
  explicit RawFile(int fd) : fd_(fd) {}
  RawFile(RawFile&& other) noexcept
      : fd_(other.fd_), memory_(other.memory_), position_(other.position_), piece_(other.piece_) {
    other.fd_ = -1;
    other.memory_ = {};
  }
  RawFile& operator=(RawFile&&) = delete;
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;
  ~RawFile() { close(); }

  // `path` is a NUL-free byte string.
  static ReadResult<RawFile> open(const std::string& path);
  // `bytes`, which must outlive the RawFile, read as a regular file that holds them, `piece`
  // bytes at most a read.
  static RawFile in_memory(std::span<const std::byte> bytes, std::size_t piece = SIZE_MAX);

  ReadResult<std::size_t> read(std::byte* dest, std::size_t count);
  // Up to `count` bytes from `offset`, leaving the file position where it is; 0 at the end.
  ReadResult<std::size_t> read_at(std::byte* dest, std::size_t count, std::uint64_t offset);
  ReadStatus seek_to_start();
  ReadResult<std::uint64_t> size() const;
  // True for a regular file; false for a pipe, a device, a socket, or when the system cannot
  // tell.
  bool is_regular() const;
  void close();

 private:
  int fd_ = -1;
  std::optional<std::span<const std::byte>> memory_;  // set for in_memory
  std::size_t position_ = 0;                          // in memory_
  std::size_t piece_ = SIZE_MAX;                      // the most a read of memory_ gives
};

template <class Source>
class BufferedReader {
 public:
  explicit BufferedReader(Source source)
      : source_(std::move(source)), buffer_(new std::byte[READ_BUFFER_SIZE]) {}

  Source& source() { return source_; }

  // Up to `count` bytes; 0 means end of file.
  ReadResult<std::size_t> read(std::byte* dest, std::size_t count) {
    if (pos_ == filled_ && count >= READ_BUFFER_SIZE) return source_.read(dest, count);
    auto available = fill_buf();
    if (!available.ok()) return available.error();
    std::size_t taken = std::min(count, available.value().size());
    std::memcpy(dest, available.value().data(), taken);
    consume(taken);
    return taken;
  }

  // Exactly `count` bytes, or UnexpectedEof "failed to fill whole buffer" or the system error.
  ReadStatus exact_read(std::byte* dest, std::size_t count) {
    if (filled_ - pos_ >= count) {
      std::memcpy(dest, buffer_.get() + pos_, count);
      pos_ += count;
      return std::nullopt;
    }
    while (count > 0) {
      auto got = read(dest, count);
      if (!got.ok()) return got.error();
      if (got.value() == 0) return ReadError::unexpected_eof(FILL_BUFFER_MESSAGE);
      dest += got.value();
      count -= got.value();
    }
    return std::nullopt;
  }

  // The buffered bytes, refilled from the source when none are left; empty at end of file.
  ReadResult<std::span<const std::byte>> fill_buf() {
    if (pos_ == filled_) {
      auto got = source_.read(buffer_.get(), READ_BUFFER_SIZE);
      if (!got.ok()) return got.error();
      pos_ = 0;
      filled_ = got.value();
    }
    return std::span<const std::byte>(buffer_.get() + pos_, filled_ - pos_);
  }

  void consume(std::size_t count) { pos_ += count; }
  void discard_buffer() { pos_ = filled_ = 0; }

 private:
  Source source_;
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t filled_ = 0;
};

class FileStream {
 public:
  explicit FileStream(RawFile file) : reader_(std::move(file)) {}

  static ReadResult<FileStream> open(const std::string& path);
  // `bytes` as a regular file (RawFile::in_memory); they must outlive the stream.
  static FileStream in_memory(std::span<const std::byte> bytes, std::size_t piece = SIZE_MAX) {
    return FileStream(RawFile::in_memory(bytes, piece));
  }

  ReadResult<std::size_t> read(std::byte* dest, std::size_t count) {
    return reader_.read(dest, count);
  }
  ReadStatus exact_read(std::byte* dest, std::size_t count) {
    return reader_.exact_read(dest, count);
  }
  // Position 0 again, buffer dropped. On failure the position and the buffer stay as they are.
  ReadStatus rewind();
  // The file's size in bytes as the system reports it.
  ReadResult<std::uint64_t> size() { return reader_.source().size(); }
  bool is_regular() { return reader_.source().is_regular(); }
  // Straight from the file, past the buffer: neither the position nor the buffer changes.
  ReadResult<std::size_t> read_at(std::byte* dest, std::size_t count, std::uint64_t offset) {
    return reader_.source().read_at(dest, count, offset);
  }
  // read_at until `count` bytes are in, or the file ends first: the bytes read, fewer than
  // `count` only at the end of the file, or the first error.
  ReadResult<std::size_t> fill_at(std::byte* dest, std::size_t count, std::uint64_t offset) {
    std::size_t filled = 0;
    while (filled < count) {
      auto got = read_at(dest + filled, count - filled, offset + filled);
      if (!got.ok() || got.value() == 0) return got.ok() ? ReadResult<std::size_t>(filled) : got;
      filled += got.value();
    }
    return filled;
  }
  void close() { reader_.source().close(); }

 private:
  BufferedReader<RawFile> reader_;
};

// What a reader puts in front of the FileStream it reads through.
struct StreamSource {
  FileStream* stream;
  ReadResult<std::size_t> read(std::byte* dest, std::size_t count) {
    return stream->read(dest, count);
  }
};
using StreamReader = BufferedReader<StreamSource>;

// The file at `path`, opened for reading, whatever format it holds. A path whose bytes hold a
// NUL fails with InvalidInput "file name contained an unexpected NUL byte".
ReadResult<FileStream> open_file(const PathText& path);

// The most bytes that read_whole reads of a model file (its buffers are read as they need).
inline constexpr std::uint64_t MAX_WHOLE_FILE_BYTES = std::uint64_t{1} << 34;

// The rest of `file` appended to `bytes`; an InvalidData error once it holds more than
// `limit` bytes ("the file holds more than N MiB, more than is read whole"), before it reads
// past that.
ReadStatus read_whole(FileStream& file, base::PodVector<std::byte>& bytes, std::uint64_t limit);

}  // namespace vertisift::mesh_io
