// PositionTable: the index of every distinct position, positions told apart by their bits
// (+0.0 and -0.0 apart, NaNs by their payload). The vertex lookup of the indexed mesh and that
// of each vertex merge partition.
//
// Design: open addressing with linear probing over a power-of-two array of 16-byte slots, kept
// at most half full. A slot holds a position's three bit patterns and its index plus one (0
// marks an empty slot), so a probe touches one cache line and never the owner's positions.
// The table doubles, from a first capacity the owner chooses, by moving every slot to where
// its hash now points. A mesh lists its faces with locality, so most corners repeat a position
// of the last few hundred faces: `recent_`, direct-mapped by hash, answers those from the
// second-level cache, and only a miss probes the (much larger) table, whose slot find_recent
// prefetches, so that the misses of a batch of lookups overlap. A recent entry is only ever
// filled from the table's answer, so it is always right for the bits it holds. The table is
// only looked up, never iterated, so its layout cannot influence any result. The owner keeps
// the positions, numbered from 0 in order of insertion, and is the only thread that touches it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/keyed_hash.h"
#include "base/pod_vector.h"
#include "base/point3.h"

namespace vertisift::base {

// The keyed hash of a position's bits under `keys`.
inline std::uint64_t position_hash(const HashKeys& keys, const Point3& position) {
  std::uint32_t bits[3];
  std::memcpy(bits, &position, sizeof bits);
  return keyed_mix(keys, (std::uint64_t{bits[0]} << 32) | bits[1], bits[2]);
}

class PositionTable {
 public:
  // The table makes `first_capacity` slots when it first grows, and keeps as many recent
  // positions as it has slots, up to `recent_size`; both are powers of two. Nothing is
  // allocated before the first reserve_for, which must come before any lookup: a small mesh
  // zeroes a table of its size, not one of `recent_size`.
  PositionTable(const HashKeys& keys, std::size_t first_capacity, std::size_t recent_size);

  std::uint64_t hash(const Point3& position) const { return position_hash(keys_, position); }

  // Makes room for `count` positions beyond the `stored` ones, so that prefetched slots stay
  // valid until they are inserted.
  void reserve_for(std::size_t stored, std::size_t count) {
    if ((stored + count) * 2 > capacity_) grow(stored + count);
  }

  // The index plus one of `position` when it is among the recent ones; otherwise 0, and the
  // table slot where its search starts is on its way to the cache.
  std::uint32_t find_recent(const Point3& position, std::uint64_t hash) const {
    const Slot& entry = recent_[recent_slot(hash)];
    if (entry.index_plus_one != 0 && holds(entry, position)) return entry.index_plus_one;
    __builtin_prefetch(&slots_[hash & (capacity_ - 1)]);
    return 0;
  }

  // The index of `position`. A position not yet in the table gets index `stored`, the number
  // of positions so far, which the owner appends; one more than 2^32 - 1 of them is an
  // internal fault.
  std::uint32_t find_or_insert(const Point3& position, std::uint64_t hash, std::size_t stored);

  // Empty again: no slots, no recent positions.
  void clear();

  // The slots the table has: a power of two, at least twice the positions reserved for.
  std::size_t capacity() const { return capacity_; }

 private:
  struct Slot {
    std::uint32_t bits[3];
    std::uint32_t index_plus_one;
  };

  static bool holds(const Slot& entry, const Point3& position) {
    return std::memcmp(entry.bits, &position, sizeof entry.bits) == 0;
  }
  // The table takes the low bits of the hash and a vertex merge picks its partition by the top
  // ones; these are apart from both.
  std::size_t recent_slot(std::uint64_t hash) const { return (hash >> 40) & (recent_.size() - 1); }
  // Doubles the table until `positions` fill at most half of it.
  void grow(std::size_t positions);

  HashKeys keys_;
  std::size_t first_capacity_;
  std::size_t recent_limit_;
  PodVector<Slot> slots_;
  std::size_t capacity_ = 0;
  PodVector<Slot> recent_;
};

}  // namespace vertisift::base
