// ShardedMap: a concurrent map from 64-bit keys to values, split into shards.
//
// Design: the shard count is four times the processor count rounded up to a power of two
// (4 when the system reports none), fixed once per process. Each shard is an open-addressing
// table (linear probing, kept at most half full) of slots pointing into the shard's entry
// array, guarded by the shard's own reader-writer lock. A key's hash (SipHash-1-3 with the
// map's keys, taken from the creating thread) picks the shard from its top bits and the first
// slot from its low bits. Writers take one shard's lock exclusively for a lookup, a possible
// insertion and the update of the value, so no reader ever sees an entry without its update
// and no thread ever holds two shard locks. Iteration visits the shards in order and each
// shard's slots in table order, which follows the keyed hash and so differs from map to map.
// Entries are never removed.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "base/keyed_hash.h"

namespace vertisift::parallel {

// Four shards per processor for `processors` (taken as 1 when 0), rounded up to a power of
// two.
std::size_t shard_count_for(std::size_t processors);

// shard_count_for(logical_processors()), computed once.
std::size_t shard_count();

template <class Value>
class ShardedMap {
 public:
  ShardedMap() : keys_(base::next_hash_keys()), shards_(shard_count()) {
    shard_shift_ = 64 - std::countr_zero(shards_.size());
  }

  // Finds or default-creates the value of `key` and calls update(value), all under the
  // shard's write lock.
  template <class Update>
  void upsert(std::uint64_t key, Update&& update) {
    const std::uint64_t hash = base::siphash13_u64(keys_, key);
    Shard& shard = shards_[shard_of(hash)];
    std::unique_lock lock(shard.lock);
    update(shard.find_or_insert(key, hash).value);
  }

  // fn(key, value) for every entry: shards in order, each under its read lock.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (const Shard& shard : shards_) {
      std::shared_lock lock(shard.lock);
      for (std::size_t slot = 0; slot < shard.capacity; ++slot) {
        const std::uint32_t index_plus_one = shard.slots[slot];
        if (index_plus_one == 0) continue;
        const Entry& entry = shard.entries[index_plus_one - 1];
        fn(entry.key, entry.value);
      }
    }
  }

  std::size_t size() const {
    std::size_t total = 0;
    for (const Shard& shard : shards_) {
      std::shared_lock lock(shard.lock);
      total += shard.entries.size();
    }
    return total;
  }

 private:
  struct Entry {
    std::uint64_t key;
    std::uint64_t hash;
    Value value;
  };

  struct Shard {
    mutable std::shared_mutex lock;
    std::vector<Entry> entries;              // guarded by lock
    std::unique_ptr<std::uint32_t[]> slots;  // guarded by lock; entry index + 1, 0 = empty
    std::size_t capacity = 0;                // guarded by lock

    Entry& find_or_insert(std::uint64_t key, std::uint64_t hash) {
      if (capacity != 0) {
        for (std::size_t slot = hash & (capacity - 1);; slot = (slot + 1) & (capacity - 1)) {
          const std::uint32_t index_plus_one = slots[slot];
          if (index_plus_one == 0) break;
          Entry& entry = entries[index_plus_one - 1];
          if (entry.key == key) return entry;
        }
      }
      if ((entries.size() + 1) * 2 > capacity) grow();
      entries.push_back(Entry{key, hash, Value{}});
      std::size_t slot = hash & (capacity - 1);
      while (slots[slot] != 0) slot = (slot + 1) & (capacity - 1);
      slots[slot] = static_cast<std::uint32_t>(entries.size());
      return entries.back();
    }

    void grow() {
      // A shard starts small: most maps hold a few entries per shard.
      constexpr std::size_t FIRST_CAPACITY = 8;
      const std::size_t new_capacity = capacity == 0 ? FIRST_CAPACITY : capacity * 2;
      auto new_slots = std::make_unique<std::uint32_t[]>(new_capacity);
      for (std::size_t i = 0; i < entries.size(); ++i) {
        std::size_t slot = entries[i].hash & (new_capacity - 1);
        while (new_slots[slot] != 0) slot = (slot + 1) & (new_capacity - 1);
        new_slots[slot] = static_cast<std::uint32_t>(i + 1);
      }
      slots = std::move(new_slots);
      capacity = new_capacity;
    }
  };

  std::size_t shard_of(std::uint64_t hash) const {
    return shard_shift_ >= 64 ? 0 : static_cast<std::size_t>(hash >> shard_shift_);
  }

  base::HashKeys keys_;
  std::vector<Shard> shards_;
  int shard_shift_;
};

}  // namespace vertisift::parallel
