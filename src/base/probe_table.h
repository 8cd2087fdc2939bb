// Growth of the open-addressing tables that merge vertices: linear probing over a power-of-two
// number of slots, a slot whose `index_plus_one` is 0 being empty. A table doubles (from a
// first capacity of its own) by moving every stored slot to where its hash now points.
#pragma once

#include <cstddef>
#include <utility>

#include "base/pod_vector.h"

namespace vertisift::base {

// Replaces `slots` (of `capacity` slots) by a table of twice as many, or `first_capacity` when
// it is empty, holding the same entries; `hash_of(slot)` is the hash of a stored slot.
template <class Slot, class HashOf>
void grow_probe_table(PodVector<Slot>& slots, std::size_t& capacity, std::size_t first_capacity,
                      HashOf&& hash_of) {
  const std::size_t new_capacity = capacity == 0 ? first_capacity : capacity * 2;
  PodVector<Slot> new_slots;
  new_slots.resize_zeroed(new_capacity);  // all empty
  for (std::size_t i = 0; i < capacity; ++i) {
    const Slot& entry = slots[i];
    if (entry.index_plus_one == 0) continue;
    std::size_t slot = hash_of(entry) & (new_capacity - 1);
    while (new_slots[slot].index_plus_one != 0) slot = (slot + 1) & (new_capacity - 1);
    new_slots[slot] = entry;
  }
  slots = std::move(new_slots);
  capacity = new_capacity;
}

}  // namespace vertisift::base
