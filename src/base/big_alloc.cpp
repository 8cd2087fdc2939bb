#include "base/big_alloc.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/block_cache.h"

namespace vertisift::base {
namespace {

// How far past its request a growing block may take a kept one: a block doubles from 1 MiB
// to a mesh's size through blocks that the last call left at every size.
constexpr std::size_t GROWTH_REACH = 8;

// Never more than this is kept for reuse, nor more than a quarter of the memory.
constexpr std::size_t MAX_KEPT_BYTES = std::size_t{1} << 30;

std::size_t kept_limit() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return 0;
  return std::min(MAX_KEPT_BYTES,
                  static_cast<std::size_t>(pages) / 4 * static_cast<std::size_t>(page));
}

BlockCache& cache();
void lock_cache() { cache().lock(); }
void unlock_cache() { cache().unlock(); }
void drop_cache_in_child() { cache().drop_in_child(); }

// Never destroyed: blocks come back until the process ends, some from other extensions' objects.
BlockCache& cache() {
  static BlockCache* const instance = [] {
    auto* made = new BlockCache(kept_limit());
    // A fork must not copy the lock held by a thread the child will not have.
    if (pthread_atfork(lock_cache, unlock_cache, drop_cache_in_child) != 0) throw std::bad_alloc();
    return made;
  }();
  return *instance;
}

std::size_t whole_pages(std::size_t bytes) {
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  if (bytes > SIZE_MAX - page) throw std::bad_alloc();
  return (bytes + page - 1) / page * page;
}

}  // namespace

void* big_alloc(std::size_t bytes) {
  if (bytes < LARGE_BLOCK) {
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  const std::size_t pages = whole_pages(bytes);
  if (void* kept = cache().take(pages)) return kept;
  void* block = mmap(nullptr, pages, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (block == MAP_FAILED) {
    cache().untake(pages);
    throw std::bad_alloc();
  }
  return block;
}

void big_free(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < LARGE_BLOCK) {
    std::free(block);
  } else {
    cache().give(block, whole_pages(bytes));
  }
}

void* big_grow(void* block, std::size_t old_bytes, std::size_t& new_bytes) {
  if (new_bytes >= LARGE_BLOCK && new_bytes <= SIZE_MAX / GROWTH_REACH) {
    const std::size_t least = whole_pages(new_bytes);
    std::size_t taken = 0;
    if (void* kept = cache().take_whole(least, least * GROWTH_REACH, taken)) {
      if (block != nullptr) {
        std::memcpy(kept, block, old_bytes);
        big_free(block, old_bytes);
      }
      new_bytes = taken;
      return kept;
    }
  }
  return big_realloc(block, old_bytes, new_bytes);
}

void* big_realloc(void* block, std::size_t old_bytes, std::size_t new_bytes) {
  if (block == nullptr) return big_alloc(new_bytes);
  if (old_bytes >= LARGE_BLOCK && new_bytes >= LARGE_BLOCK) {
    const std::size_t old_pages = whole_pages(old_bytes);
    const std::size_t new_pages = whole_pages(new_bytes);
    if (new_pages <= old_pages) {
      if (new_pages < old_pages) {
        munmap(static_cast<char*>(block) + new_pages, old_pages - new_pages);
        cache().untake(old_pages - new_pages);
      }
      return block;
    }
    // Copying into a kept block costs less than faulting fresh pages in.
    if (void* kept = cache().take(new_pages)) {
      std::memcpy(kept, block, old_bytes);
      cache().give(block, old_pages);
      return kept;
    }
    // The pages move; nothing is copied. The new size is in use already, the old one no more.
    void* moved = mremap(block, old_pages, new_pages, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
      cache().untake(new_pages);
      throw std::bad_alloc();
    }
    cache().untake(old_pages);
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
