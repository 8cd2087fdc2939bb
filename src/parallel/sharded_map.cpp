#include "parallel/sharded_map.h"

#include <bit>

#include "parallel/thread_pool.h"

namespace vertisift::parallel {

std::size_t shard_count() {
  static const std::size_t count = [] {
    const std::size_t processors = logical_processors();
    if (processors == 0) return std::size_t{4};
    return std::bit_ceil(processors * 4);
  }();
  return count;
}

}  // namespace vertisift::parallel
