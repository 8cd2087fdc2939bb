#include "mesh_io/block_reader.h"

#include <pthread.h>

#include <algorithm>
#include <system_error>

#include "base/thread_storage.h"

namespace vertisift::mesh_io {

BlockReader::BlockReader(FileStream& stream, std::uint64_t offset, std::uint64_t length,
                         std::size_t block_size, std::size_t ahead)
    : stream_(stream),
      offset_(offset),
      length_(length),
      block_size_(std::max<std::size_t>(block_size, 1)),
      slots_(ahead + 1) {
  const std::uint64_t blocks = (length_ + block_size_ - 1) / block_size_;
  // A range of few blocks needs as many buffers and no thread.
  const std::size_t used = static_cast<std::size_t>(std::min<std::uint64_t>(blocks, slots_.size()));
  slots_.resize(std::max<std::size_t>(used, 1));
  for (Slot& slot : slots_) slot.bytes.reset(new std::byte[block_size_]);
  if (blocks <= 1) return;
  try {
    thread_ = std::thread([this] { read_ahead(); });
  } catch (const std::system_error&) {
    // No thread to be had: next() reads each block itself.
  }
}

BlockReader::~BlockReader() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool BlockReader::fill(std::uint64_t index) {
  Slot& slot = slots_[index % slots_.size()];
  const std::uint64_t begin = index * block_size_;
  if (begin >= length_) {
    slot.size = 0;
    slot.status = Status::End;
    return false;
  }
  const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(block_size_, length_ - begin));
  auto got = stream_.fill_at(slot.bytes.get(), want, offset_ + begin);
  if (!got.ok()) {
    slot.status = Status::Error;
    slot.error = std::move(got.error());
    return false;
  }
  if (got.value() < want) {
    slot.status = Status::Truncated;
    return false;
  }
  slot.size = want;
  slot.status = Status::Block;
  return true;
}

void BlockReader::read_ahead() {
  base::prepare_thread_storage();
  pthread_setname_np(pthread_self(), "vertisift-read");
  try {
    for (std::uint64_t index = 0;; ++index) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || index - released_ < slots_.size(); });
        if (stopping_) return;
      }
      const bool more = fill(index);
      {
        std::lock_guard guard(mutex_);
        produced_ = index + 1;
      }
      changed_.notify_all();
      if (!more) return;
    }
  } catch (...) {
    {
      std::lock_guard guard(mutex_);
      fault_ = std::current_exception();
      stopping_ = true;
    }
    changed_.notify_all();
  }
}

BlockReader::Status BlockReader::next(std::span<const std::byte>& block, ReadError& error) {
  const std::uint64_t index = handed_++;
  if (!thread_.joinable()) {
    fill(index);
  } else {
    std::unique_lock lock(mutex_);
    released_ = index;  // every block before this one is done with
    changed_.notify_all();
    changed_.wait(lock, [&] { return produced_ > index || fault_ != nullptr; });
    if (produced_ <= index) std::rethrow_exception(fault_);
  }
  Slot& slot = slots_[index % slots_.size()];
  if (slot.status == Status::Error) error = std::move(slot.error);
  block = std::span<const std::byte>(slot.bytes.get(), slot.size);
  return slot.status;
}

}  // namespace vertisift::mesh_io
