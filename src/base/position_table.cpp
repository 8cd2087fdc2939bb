#include "base/position_table.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/fault.h"

namespace vertisift::base {

PositionTable::PositionTable(const HashKeys& keys, std::size_t first_capacity,
                             std::size_t recent_size)
    : keys_(keys), first_capacity_(first_capacity), recent_limit_(recent_size) {}

std::uint32_t PositionTable::find_or_insert(const Point3& position, std::uint64_t hash,
                                            std::size_t stored) {
  for (std::size_t slot = hash & (capacity_ - 1);; slot = (slot + 1) & (capacity_ - 1)) {
    Slot& entry = slots_[slot];
    if (entry.index_plus_one == 0) {
      if (stored >= UINT32_MAX) raise_fault("too many distinct vertices in the mesh");
      std::memcpy(entry.bits, &position, sizeof entry.bits);
      entry.index_plus_one = static_cast<std::uint32_t>(stored + 1);
      recent_[recent_slot(hash)] = entry;
      return entry.index_plus_one - 1;
    }
    if (holds(entry, position)) {
      recent_[recent_slot(hash)] = entry;
      return entry.index_plus_one - 1;
    }
  }
}

void PositionTable::clear() {
  slots_ = {};
  capacity_ = 0;
  recent_ = {};
}

void PositionTable::grow(std::size_t positions) {
  std::size_t new_capacity = capacity_ == 0 ? first_capacity_ : capacity_ * 2;
  while (positions * 2 > new_capacity) new_capacity *= 2;
  PodVector<Slot> new_slots;
  new_slots.resize_zeroed(new_capacity);  // all empty
  for (std::size_t i = 0; i < capacity_; ++i) {
    const Slot& entry = slots_[i];
    if (entry.index_plus_one == 0) continue;
    Point3 position;
    std::memcpy(&position, entry.bits, sizeof entry.bits);
    std::size_t slot = hash(position) & (new_capacity - 1);
    while (new_slots[slot].index_plus_one != 0) slot = (slot + 1) & (new_capacity - 1);
    new_slots[slot] = entry;
  }
  slots_ = std::move(new_slots);
  capacity_ = new_capacity;
  // The recent positions grow with the table, and start empty again: they only ever answer
  // what the table would.
  const std::size_t recent_size = std::min(recent_limit_, new_capacity);
  if (recent_.size() != recent_size) {
    recent_ = {};
    recent_.resize_zeroed(recent_size);
  }
}

}  // namespace vertisift::base
