#include "parallel/sharded_map.h"

#include <algorithm>
#include <bit>

#include "parallel/thread_pool.h"

namespace vertisift::parallel {

// Four shards per processor keep two writers on one shard rare while every worker writes;
// more would only spread the small maps thinner.
constexpr std::size_t SHARDS_PER_PROCESSOR = 4;

std::size_t shard_count_for(std::size_t processors) {
  return std::bit_ceil(std::max<std::size_t>(processors, 1) * SHARDS_PER_PROCESSOR);
}

std::size_t shard_count() {
  static const std::size_t count = shard_count_for(logical_processors());
  return count;
}

}  // namespace vertisift::parallel
