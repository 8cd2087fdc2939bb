#include "parallel/sharded_map.h"

#include <algorithm>
#include <bit>

#include "parallel/thread_pool.h"

namespace vertisift::parallel {

// Four shards per processor keep two writers on one shard rare while every worker writes;
// more would only spread the small maps thinner.
constexpr std::size_t SHARDS_PER_PROCESSOR = 4;

std::size_t shard_count() {
  static const std::size_t count = [] {
    const std::size_t processors = std::max<std::size_t>(logical_processors(), 1);
    return std::bit_ceil(processors * SHARDS_PER_PROCESSOR);
  }();
  return count;
}

}  // namespace vertisift::parallel
