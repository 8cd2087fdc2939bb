// BlockReader: one byte range of a regular file read in blocks, a bounded number of them ahead
// of the caller on a thread of its own.
//
// Design: `slots_` holds BLOCKS_AHEAD + 1 buffers, allocated up front on the calling thread,
// used round robin. Block i goes to slot i % slots. The reading thread fills slot i only once
// block i - slots has been released, then publishes it by raising `produced_`; the caller
// takes block i once `produced_` > i, and releases it by asking for the next one, so a block
// stays valid until then. A slot belongs to the reading thread from its release until it is
// published, and to the caller from then until its release: the data needs no lock, only
// the counters do. The thread stops after the last block, the first short one or the first
// error, and is stopped and joined by the destructor, so none outlives the reading. Reads use
// the file offset directly and never move the stream's position. When no thread can be
// started, the blocks are read on the calling thread as they are asked for.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "mesh_io/file_stream.h"

namespace vertisift::mesh_io {

class BlockReader {
 public:
  enum class Status {
    Block,      // `block` holds the next bytes of the range
    End,        // the whole range has been delivered
    Truncated,  // the file ended before the range did
    Error,      // a read failed; `error` holds the system's error
  };

  // Reads [offset, offset + length) of `stream` in blocks of `block_size` bytes (the last one
  // shorter), keeping up to `ahead` blocks read beyond the one the caller holds.
  BlockReader(FileStream& stream, std::uint64_t offset, std::uint64_t length,
              std::size_t block_size, std::size_t ahead);
  ~BlockReader();
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // The next block, valid until the next call. After anything but Block, not called again.
  Status next(std::span<const std::byte>& block, ReadError& error);

 private:
  struct Slot {
    std::unique_ptr<std::byte[]> bytes;
    std::size_t size = 0;
    Status status = Status::Block;
    ReadError error;
  };

  // Reads block `index` into its slot; false when it was the last one to read.
  bool fill(std::uint64_t index);
  void read_ahead();

  FileStream& stream_;
  const std::uint64_t offset_;
  const std::uint64_t length_;
  const std::size_t block_size_;
  std::vector<Slot> slots_;
  std::uint64_t handed_ = 0;  // caller only: blocks handed out so far

  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t produced_ = 0;  // guarded by mutex_: blocks published
  std::uint64_t released_ = 0;  // guarded by mutex_: blocks the caller is done with
  bool stopping_ = false;       // guarded by mutex_
  std::exception_ptr fault_;    // guarded by mutex_: what ended the reading thread, if anything
  std::thread thread_;
};

}  // namespace vertisift::mesh_io
