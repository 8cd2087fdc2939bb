// PodVector: a growable array of trivially copyable items. Large blocks are mapped pages: one
// that doubles moves into a larger block kept from an earlier call when there is one (big_grow),
// whose pages are in memory already, and otherwise grows by moving the mapping (mremap), which
// copies nothing. Freeing it keeps the block for the next call (base/block_cache.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/big_alloc.h"

namespace vertisift::base {

template <class T>
class PodVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PodVector() = default;
  explicit PodVector(const std::vector<T>& items) { assign(items.data(), items.size()); }
  PodVector(PodVector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  PodVector& operator=(PodVector&& other) noexcept {
    if (this != &other) {
      big_free(data_, capacity_ * sizeof(T));
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  PodVector(const PodVector&) = delete;
  PodVector& operator=(const PodVector&) = delete;
  ~PodVector() { big_free(data_, capacity_ * sizeof(T)); }

  void push_back(const T& item) {
    if (size_ == capacity_) grow(capacity_ == 0 ? FIRST_CAPACITY : capacity_ * 2);
    data_[size_++] = item;
  }

  // Appends `count` items copied from `items` (which must not lie in this vector).
  void append(const T* items, std::size_t count) {
    if (count == 0) return;
    if (count > capacity_ - size_) {
      if (count > SIZE_MAX / sizeof(T) - size_) throw std::bad_alloc();
      grow(std::max(capacity_ * 2, size_ + count));
    }
    std::memcpy(data_ + size_, items, count * sizeof(T));
    size_ += count;
  }

  // No items, the block kept for the next ones.
  void clear() { size_ = 0; }

  // Room for `count` items in all without moving.
  void reserve(std::size_t count) {
    if (count > capacity_) reallocate(count);
  }

  // Adds `count` items whose bytes the caller writes before reading them, and returns the
  // first: a reader that fills records in place writes each byte once.
  T* extend(std::size_t count) {
    if (count > capacity_ - size_) {
      if (count > SIZE_MAX / sizeof(T) - size_) throw std::bad_alloc();
      grow(std::max(capacity_ * 2, size_ + count));
    }
    T* first = data_ + size_;
    size_ += count;
    return first;
  }

  // Makes the size `count` items, new ones all-zero bytes (not T's default value, for a T
  // with default member values).
  void resize_zeroed(std::size_t count) {
    if (count > capacity_) reallocate(count);
    if (count > size_)
      std::memset(static_cast<void*>(data_ + size_), 0, (count - size_) * sizeof(T));
    size_ = count;
  }

  void shrink_to_fit() {
    if (size_ == 0) {
      big_free(std::exchange(data_, nullptr), capacity_ * sizeof(T));
      capacity_ = 0;
    } else if (size_ < capacity_) {
      reallocate(size_);
    }
  }

  // The items of `other`, of another trivially copyable type whose size is a multiple of
  // T's, as items of T: the same memory, taken over without a copy.
  template <class U>
  static PodVector take_over(PodVector<U>&& other) {
    static_assert(sizeof(U) % sizeof(T) == 0, "whole items of T");
    PodVector taken;
    const std::size_t size = other.size();
    std::size_t capacity = 0;
    taken.data_ = reinterpret_cast<T*>(other.release(capacity));
    taken.size_ = size * (sizeof(U) / sizeof(T));
    taken.capacity_ = capacity * (sizeof(U) / sizeof(T));
    return taken;
  }

  // Gives up the items' block, leaving the vector empty: the caller frees it with
  // big_free(block, capacity * sizeof(T)), `capacity` as set here.
  T* release(std::size_t& capacity) {
    capacity = std::exchange(capacity_, 0);
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  void assign(const T* items, std::size_t count) {
    reallocate(count);
    if (count != 0) std::memcpy(data_, items, count * sizeof(T));
    size_ = count;
  }

  void reallocate(std::size_t capacity) {
    if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    if (capacity == 0) return;
    data_ = static_cast<T*>(big_realloc(data_, capacity_ * sizeof(T), capacity * sizeof(T)));
    capacity_ = capacity;
  }

  // Room for at least `capacity` items, maybe more (big_grow): for growing by doubling.
  void grow(std::size_t capacity) {
    if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    std::size_t bytes = capacity * sizeof(T);
    data_ = static_cast<T*>(big_grow(data_, capacity_ * sizeof(T), bytes));
    // A kept block is whole pages; the items it holds fill all but less than an item of it,
    // and an item is smaller than a page, so `capacity_` items round up to the whole block
    // again when it is freed.
    capacity_ = bytes / sizeof(T);
  }

  // The first block: a few cache lines, so that short arrays do not grow item by item.
  static constexpr std::size_t FIRST_CAPACITY = 64;

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vertisift::base
