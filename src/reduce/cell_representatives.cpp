#include "reduce/cell_representatives.h"

#include <algorithm>

#include "base/fault.h"
#include "parallel/thread_pool.h"

namespace vertisift::reduce {
namespace {

using KeyList = std::vector<CellKey, base::BigAllocator<CellKey>>;
using IndexList = std::vector<std::uint32_t, base::BigAllocator<std::uint32_t>>;

// Grids with at most this many cells (and not many more than there are points) are grouped
// with one counter per cell.
constexpr std::uint64_t DENSE_GRID_LIMIT = std::uint64_t{1} << 22;
// Beyond this resolution the cell count is not computed: 256^3 is already far above the
// limit, and the cube of a larger resolution could overflow.
constexpr std::uint64_t MAX_COUNTED_RESOLUTION = 256;
// A dense grid may have this many cells per point (per MIN_DENSE_POINTS for small inputs)
// before one counter per cell costs more than sorting the points.
constexpr std::uint64_t DENSE_CELLS_PER_POINT = 8;
constexpr std::uint64_t MIN_DENSE_POINTS = 1024;

// The occupied cells as (key, first position in `items`, count), in key order.
struct Group {
  CellKey key;
  std::uint64_t begin;
  std::uint64_t count;
};

std::vector<Group> group_dense(const KeyList& keys, std::uint64_t cell_count, IndexList& items) {
  std::vector<std::uint32_t, base::BigAllocator<std::uint32_t>> counts(cell_count, 0);
  for (CellKey key : keys) ++counts[key];
  std::vector<Group> groups;
  std::uint64_t offset = 0;
  for (std::uint64_t key = 0; key < cell_count; ++key) {
    if (counts[key] == 0) continue;
    groups.push_back({key, offset, counts[key]});
    const std::uint64_t count = counts[key];
    // Exact: assign_to_cells takes fewer than 2^32 - 1 points, so no position needs more bits.
    counts[key] = static_cast<std::uint32_t>(offset);
    offset += count;
  }
  // counts[key] now holds the next free position of each cell.
  items.resize(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i)
    items[counts[keys[i]]++] = static_cast<std::uint32_t>(i);
  return groups;
}

std::vector<Group> group_sorted(const KeyList& keys, IndexList& items) {
  items.resize(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) items[i] = static_cast<std::uint32_t>(i);
  std::sort(items.begin(), items.end(), [&](std::uint32_t a, std::uint32_t b) {
    return keys[a] < keys[b] || (keys[a] == keys[b] && a < b);
  });
  std::vector<Group> groups;
  for (std::size_t i = 0; i < items.size();) {
    std::size_t end = i + 1;
    while (end < items.size() && keys[items[end]] == keys[items[i]]) ++end;
    groups.push_back({keys[items[i]], i, end - i});
    i = end;
  }
  return groups;
}

}  // namespace

void assign_to_cells(const PointList& points, const BoundingBox& box, std::uint64_t resolution,
                     CellMap& cells) {
  if (points.size() >= UINT32_MAX) base::raise_fault("too many points to group");
  KeyList keys(points.size());
  parallel::parallel_for(points.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      keys[i] = cell_key(points[i].position, box, resolution);
  });
  // resolution^3 cells, when that is small enough to count (resolution 0 has the one key 0).
  std::uint64_t cell_count = 0;
  if (resolution <= MAX_COUNTED_RESOLUTION) {
    const std::uint64_t per_axis = std::max<std::uint64_t>(resolution, 1);
    cell_count = per_axis * per_axis * per_axis;
  }
  const bool dense = cell_count != 0 && cell_count <= DENSE_GRID_LIMIT &&
                     cell_count <= DENSE_CELLS_PER_POINT *
                                       std::max<std::uint64_t>(points.size(), MIN_DENSE_POINTS);
  const std::vector<Group> groups =
      dense ? group_dense(keys, cell_count, cells.items) : group_sorted(keys, cells.items);
  keys = KeyList();
  parallel::parallel_for(groups.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t g = begin; g < end; ++g) {
      const Group& group = groups[g];
      cells.cells.upsert(group.key, [&](CellSpan& span) { span = {group.begin, group.count}; });
    }
  });
}

std::vector<std::pair<CellKey, CellSpan>> cells_in_key_order(const CellMap& cells) {
  std::vector<std::pair<CellKey, CellSpan>> ordered;
  ordered.reserve(cells.cells.size());
  cells.cells.for_each([&](CellKey key, const CellSpan& span) { ordered.emplace_back(key, span); });
  std::sort(ordered.begin(), ordered.end(),
            [](const auto& left, const auto& right) { return left.first < right.first; });
  return ordered;
}

}  // namespace vertisift::reduce
