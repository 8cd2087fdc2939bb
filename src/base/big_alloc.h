// Storage for the large arrays of one call (meshes, point lists, partial sums).
//
// Blocks of LARGE_BLOCK bytes and more are mapped from the system directly, their pages faulted
// in at once. A freed one is kept in a BlockCache for the next request of about its size, so
// that repeated calls reuse their pages: the mapped bytes, in use or kept, stay within one and a
// half times the most ever in use at once, and at most a quarter of the memory (1 GiB) is kept.
// Left to the C library, a freed large block raises its threshold for mapping, and later large
// blocks come from a heap that grows without such a bound. Smaller blocks use the ordinary
// allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace vertisift::base {

inline constexpr std::size_t LARGE_BLOCK = std::size_t{1} << 20;

// Throw std::bad_alloc on failure; `bytes` must be the size the block was allocated with.
void* big_alloc(std::size_t bytes);
void big_free(void* block, std::size_t bytes) noexcept;
void* big_realloc(void* block, std::size_t old_bytes, std::size_t new_bytes);

// Grows `block` of `old_bytes` (null: 0) to at least `new_bytes`, and sets `new_bytes` to the
// size it has, which the caller frees it with. A large block grown by doubling would pass
// through a block of every size on its way, each mapped afresh on every call; this one moves
// into the smallest kept block of a few times the request at most when there is one, and
// the block it leaves is kept in turn. Otherwise the same as big_realloc.
void* big_grow(void* block, std::size_t old_bytes, std::size_t& new_bytes);

template <class T>
struct BigAllocator {
  using value_type = T;
  BigAllocator() = default;
  template <class U>
  BigAllocator(const BigAllocator<U>&) {}

  T* allocate(std::size_t count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(big_alloc(count * sizeof(T)));
  }
  void deallocate(T* block, std::size_t count) noexcept { big_free(block, count * sizeof(T)); }

  template <class U>
  bool operator==(const BigAllocator<U>&) const {
    return true;
  }
};

}  // namespace vertisift::base
