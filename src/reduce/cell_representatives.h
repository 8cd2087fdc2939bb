// Grouping of the points by grid cell, and one uniformly random representative per occupied
// cell: the per-cell pick of the reduction (the thread's generator, whole points, the map's
// order) and of the vertex sample (a seeded stream, point indices, key order).
//
// Design: the cell key of every point is computed on the worker pool; the point indices are
// then ordered by key (a counting sort when the grid is small, a sort otherwise), so that the
// items of each cell stand together. The CellMap holds one entry per occupied cell, the span
// of its items in that order, in a sharded concurrent map whose keyed layout gives the order
// in which the cells are visited. No item takes a lock and no cell owns a list of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/big_alloc.h"
#include "parallel/sharded_map.h"
#include "random/uniform.h"
#include "reduce/grid.h"
#include "reduce/point_with_normal.h"

namespace vertisift::reduce {

// Where one cell's items stand in CellMap::items.
struct CellSpan {
  std::uint64_t begin = 0;
  std::uint64_t count = 0;
};

struct CellMap {
  parallel::ShardedMap<CellSpan> cells;
  std::vector<std::uint32_t, base::BigAllocator<std::uint32_t>> items;  // point indices by cell
};

// Fills `cells` (new and empty) with every point under its cell's key, on the worker pool.
void assign_to_cells(const PointList& points, const BoundingBox& box, std::uint64_t resolution,
                     CellMap& cells);

// The order in which pick_representatives visits the occupied cells: the map's own, which
// follows its keyed hash and differs from map to map, or that of the cell keys, the same on
// every run.
enum class CellOrder { Map, Key };

// The occupied cells with their spans, in key order.
std::vector<std::pair<CellKey, CellSpan>> cells_in_key_order(const CellMap& cells);

// The first pick makes room for four: a few cells then cost one allocation, not the three of
// growing one item at a time (to one, two, four).
inline constexpr std::size_t FIRST_PICKS = 4;

// One item per occupied cell, the cells visited in `order`: a point drawn uniformly from the
// cell's items with `rng` (any engine uniform_index takes), made into the List's item by
// item_of(point index).
template <class List, class Engine, class ItemOf>
List pick_representatives(const CellMap& cells, CellOrder order, Engine& rng, ItemOf&& item_of) {
  List picked;
  const auto pick = [&](const CellSpan& span) {
    if (picked.capacity() == 0) picked.reserve(FIRST_PICKS);
    picked.push_back(item_of(cells.items[span.begin + random::uniform_index(rng, span.count)]));
  };
  if (order == CellOrder::Map) {
    cells.cells.for_each([&](CellKey, const CellSpan& span) { pick(span); });
  } else {
    for (const auto& [key, span] : cells_in_key_order(cells)) pick(span);
  }
  return picked;
}

}  // namespace vertisift::reduce
