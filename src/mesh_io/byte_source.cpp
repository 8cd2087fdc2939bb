#include "mesh_io/byte_source.h"

#include <algorithm>

namespace vertisift::mesh_io {
namespace {

// Blocks a regular file is read ahead of the one the reader parses.
constexpr std::size_t BLOCKS_AHEAD = 2;

}  // namespace

ReadResult<std::span<const std::byte>> MemorySource::next() {
  const std::size_t size = std::min(piece_, rest_.size());
  const std::span<const std::byte> piece = rest_.first(size);
  rest_ = rest_.subspan(size);
  return piece;
}

FileSource::FileSource(FileStream& stream, std::size_t block_size)
    : stream_(stream), block_size_(std::max<std::size_t>(block_size, 1)) {}

ReadResult<std::span<const std::byte>> FileSource::next() {
  if (ended_) return std::span<const std::byte>();
  if (!started_) {
    started_ = true;
    if (stream_.is_regular()) {
      auto size = stream_.size();
      if (!size.ok()) return std::move(size.error());
      blocks_.emplace(stream_, 0, size.value(), block_size_, BLOCKS_AHEAD);
    } else {
      buffer_.reset(new std::byte[block_size_]);
    }
  }
  if (blocks_) {
    std::span<const std::byte> block;
    ReadError error;
    switch (blocks_->next(block, error)) {
      case BlockReader::Status::Block: return block;
      case BlockReader::Status::Error: ended_ = true; return error;
      case BlockReader::Status::End:
      case BlockReader::Status::Truncated:  // the file shrank while it was read: its end
        ended_ = true;
        return std::span<const std::byte>();
    }
  }
  auto got = stream_.read(buffer_.get(), block_size_);
  if (!got.ok()) {
    ended_ = true;
    return std::move(got.error());
  }
  if (got.value() == 0) ended_ = true;
  return std::span<const std::byte>(buffer_.get(), got.value());
}

}  // namespace vertisift::mesh_io
