// ByteSource: the bytes of one file, in order, a block at a time, for the readers of the
// indexed formats. FileSource reads a file (a regular one ahead of the reader on a thread of
// its own, anything else by plain reads); MemorySource hands out bytes already in memory,
// cut into pieces as small as a test likes.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>

#include "mesh_io/block_reader.h"
#include "mesh_io/file_stream.h"
#include "mesh_io/read_error.h"

namespace vertisift::mesh_io {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The next bytes, valid until the next call; empty at the end of the file, and from then on.
  virtual ReadResult<std::span<const std::byte>> next() = 0;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::byte> bytes, std::size_t piece = SIZE_MAX)
      : rest_(bytes), piece_(piece == 0 ? 1 : piece) {}
  ReadResult<std::span<const std::byte>> next() override;

 private:
  std::span<const std::byte> rest_;
  std::size_t piece_;
};

// The size of FileSource's blocks: the most a reader holds of the file at once.
inline constexpr std::size_t SOURCE_BLOCK_SIZE = std::size_t{1} << 20;

class FileSource final : public ByteSource {
 public:
  // Reads `stream` from its start: a regular file by its offsets, whatever its position;
  // anything else from where it stands, which must be its start (a stream just opened).
  explicit FileSource(FileStream& stream, std::size_t block_size = SOURCE_BLOCK_SIZE);
  ReadResult<std::span<const std::byte>> next() override;

 private:
  FileStream& stream_;
  std::size_t block_size_;
  bool started_ = false;
  bool ended_ = false;
  std::optional<BlockReader> blocks_;    // a regular file
  std::unique_ptr<std::byte[]> buffer_;  // anything else
};

}  // namespace vertisift::mesh_io
