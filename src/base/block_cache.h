// BlockCache: large blocks of memory, given back by their users, kept mapped for the next
// request of about their size.
//
// The first write to a fresh page costs a fault, and in a virtual machine often a second one
// in the host: about half a millisecond a megabyte on the machines this is measured on, more
// than the work a call does on most of its pages. A dataset loop that keeps its blocks faults
// its memory in once, not on every call.
//
// Design: at most MAX_BLOCKS blocks are kept, oldest first, and at most `limit` bytes. A
// request takes the smallest kept block of its size to a quarter more, cut down to the request
// (the tail unmapped), or else the largest of up to a quarter less, grown to it. The blocks
// mapped, in use or kept, never exceed one and a half times the most that was ever in use at
// once: when a request finds no block, the oldest kept blocks are unmapped until the new one
// fits under that bound. The half is for the blocks a call frees before it takes others: the
// 2M-face reduction has 88 MB in use at most, in blocks of 122 MB in all. Sizes are whole pages.
// One lock guards the list; no system call is made under it. In a forked child the kept pages are
// still shared with the parent, so that every write would copy one: the child drops them.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>

namespace vertisift::base {

class BlockCache {
 public:
  static constexpr std::size_t MAX_BLOCKS = 32;

  struct Stats {
    std::size_t in_use;       // bytes handed out by take and not given back
    std::size_t kept;         // bytes kept for reuse
    std::size_t most_in_use;  // the most in use at once so far
  };

  explicit BlockCache(std::size_t limit) : limit_(limit) {}
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  // A kept block of `bytes` (a page multiple), or null: then the caller maps one of that size,
  // and calls untake(bytes) if it cannot. Either way `bytes` are in use from now on.
  void* take(std::size_t bytes);
  // The smallest kept block of `least` to `most` bytes, whole, for a block that grows: its
  // size is set in `bytes`, which are in use from now on. Null when there is none, and then
  // nothing changes.
  void* take_whole(std::size_t least, std::size_t most, std::size_t& bytes);
  // `bytes` fewer are in use: a block the caller was to map and could not, or the part of one
  // it unmapped.
  void untake(std::size_t bytes);
  // Keeps the block of `bytes` (a page multiple) for reuse, or unmaps it.
  void give(void* start, std::size_t bytes) noexcept;

  Stats stats();

  // For the fork handlers: lock before a fork, unlock in the parent after it; in the child,
  // drop_in_child unmaps the kept blocks and unlocks.
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  void drop_in_child();

 private:
  struct Block {
    void* start;
    std::size_t bytes;
  };
  using Blocks = std::array<Block, MAX_BLOCKS>;

  // Removes block `index`, keeping the order of the rest.
  void remove(std::size_t index);
  // Moves the oldest kept block to `out` (at `count`, which grows).
  void evict_oldest(Blocks& out, std::size_t& count);

  std::mutex mutex_;
  Blocks blocks_{};
  std::size_t count_ = 0;
  std::size_t kept_ = 0;
  std::size_t in_use_ = 0;
  std::size_t most_in_use_ = 0;
  const std::size_t limit_;
};

}  // namespace vertisift::base
