#include "base/big_alloc.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

namespace vertisift::base {

void* big_alloc(std::size_t bytes) {
  if (bytes < LARGE_BLOCK) {
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  return block;
}

void big_free(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < LARGE_BLOCK) {
    std::free(block);
  } else {
    munmap(block, bytes);
  }
}

void* big_realloc(void* block, std::size_t old_bytes, std::size_t new_bytes) {
  if (block == nullptr) return big_alloc(new_bytes);
  if (old_bytes >= LARGE_BLOCK && new_bytes >= LARGE_BLOCK) {
    // The pages move; nothing is copied.
    void* moved = mremap(block, old_bytes, new_bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    return moved;
  }
  if (old_bytes < LARGE_BLOCK && new_bytes < LARGE_BLOCK) {
    void* grown = std::realloc(block, new_bytes == 0 ? 1 : new_bytes);
    if (grown == nullptr) throw std::bad_alloc();
    return grown;
  }
  void* fresh = big_alloc(new_bytes);
  std::memcpy(fresh, block, old_bytes < new_bytes ? old_bytes : new_bytes);
  big_free(block, old_bytes);
  return fresh;
}

}  // namespace vertisift::base
