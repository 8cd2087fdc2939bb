// Grouping of the points by grid cell, and one uniformly random representative per occupied
// cell. A representative is one of the input items, copied whole.
//
// Design: the cell key of every point is computed on the worker pool; the point indices are
// then ordered by key (a counting sort when the grid is small, a sort otherwise), so that the
// items of each cell stand together. The CellMap holds one entry per occupied cell, the span
// of its items in that order, in a sharded concurrent map whose keyed layout gives the order
// in which the cells are visited. No item takes a lock and no cell owns a list of its own.
#pragma once

#include <cstdint>
#include <vector>

#include "base/big_alloc.h"
#include "parallel/sharded_map.h"
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

// One item per occupied cell, drawn uniformly from the cell's items with the calling thread's
// generator, visiting the cells in the map's own order.
PointList pick_representatives(const CellMap& cells, const PointList& points);

}  // namespace vertisift::reduce
