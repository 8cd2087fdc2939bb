#include "base/block_cache.h"

#include <sys/mman.h>

#include <algorithm>

namespace vertisift::base {

void* BlockCache::take(std::size_t bytes) {
  Blocks evicted;
  std::size_t evicted_count = 0;
  Block found = {nullptr, 0};
  {
    std::lock_guard lock(mutex_);
    // The smallest block of the size to a quarter more, else the largest of up to a quarter
    // less: a block's size follows what a call stored in it, which varies a little from call
    // to call.
    std::size_t best = count_;
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t size = blocks_[i].bytes;
      if (size + bytes / 4 < bytes || size > bytes + bytes / 4) continue;
      if (best == count_) {
        best = i;
        continue;
      }
      const std::size_t chosen = blocks_[best].bytes;
      if (size >= bytes ? chosen < bytes || size < chosen : chosen < bytes && size > chosen) {
        best = i;
      }
    }
    if (best != count_) {
      found = blocks_[best];
      remove(best);
    } else {
      most_in_use_ = std::max(most_in_use_, in_use_ + bytes);
      while (count_ > 0 && in_use_ + bytes + kept_ > most_in_use_ + most_in_use_ / 2) {
        evict_oldest(evicted, evicted_count);
      }
    }
    in_use_ += bytes;
  }
  for (std::size_t i = 0; i < evicted_count; ++i) munmap(evicted[i].start, evicted[i].bytes);
  if (found.bytes > bytes) {
    munmap(static_cast<char*>(found.start) + bytes, found.bytes - bytes);
  } else if (found.bytes < bytes && found.start != nullptr) {
    // Grown where it lies if it can be; only the new pages are fresh.
    void* grown = mremap(found.start, found.bytes, bytes, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) {
      munmap(found.start, found.bytes);
      return nullptr;  // the caller maps a block of its own
    }
    return grown;
  }
  return found.start;
}

void* BlockCache::take_whole(std::size_t least, std::size_t most, std::size_t& bytes) {
  std::lock_guard lock(mutex_);
  std::size_t best = count_;
  for (std::size_t i = 0; i < count_; ++i) {
    const std::size_t size = blocks_[i].bytes;
    if (size >= least && size <= most && (best == count_ || size < blocks_[best].bytes)) best = i;
  }
  if (best == count_) return nullptr;
  const Block found = blocks_[best];
  remove(best);
  in_use_ += found.bytes;
  most_in_use_ = std::max(most_in_use_, in_use_);
  bytes = found.bytes;
  return found.start;
}

void BlockCache::untake(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  in_use_ -= bytes;
}

void BlockCache::give(void* start, std::size_t bytes) noexcept {
  Blocks evicted;
  std::size_t evicted_count = 0;
  bool kept = false;
  {
    std::lock_guard lock(mutex_);
    in_use_ -= bytes;
    if (bytes <= limit_) {
      while (count_ == MAX_BLOCKS || kept_ + bytes > limit_) evict_oldest(evicted, evicted_count);
      blocks_[count_++] = {start, bytes};
      kept_ += bytes;
      kept = true;
    }
  }
  for (std::size_t i = 0; i < evicted_count; ++i) munmap(evicted[i].start, evicted[i].bytes);
  if (!kept) munmap(start, bytes);
}

BlockCache::Stats BlockCache::stats() {
  std::lock_guard lock(mutex_);
  return {in_use_, kept_, most_in_use_};
}

void BlockCache::drop_in_child() {
  for (std::size_t i = 0; i < count_; ++i) munmap(blocks_[i].start, blocks_[i].bytes);
  count_ = 0;
  kept_ = 0;
  mutex_.unlock();
}

void BlockCache::remove(std::size_t index) {
  kept_ -= blocks_[index].bytes;
  std::copy(blocks_.begin() + static_cast<std::ptrdiff_t>(index + 1),
            blocks_.begin() + static_cast<std::ptrdiff_t>(count_),
            blocks_.begin() + static_cast<std::ptrdiff_t>(index));
  --count_;
}

void BlockCache::evict_oldest(Blocks& out, std::size_t& count) {
  out[count++] = blocks_[0];
  remove(0);
}

}  // namespace vertisift::base
