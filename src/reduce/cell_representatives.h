// Grouping of the points by grid cell, and one uniformly random representative per occupied
// cell. A representative is one of the input items, copied whole.
#pragma once

#include <vector>

#include "parallel/sharded_map.h"
#include "reduce/grid.h"
#include "reduce/point_with_normal.h"

namespace vertisift::reduce {

// Cell key -> the items in that cell, in the order workers appended them.
using CellMap = parallel::ShardedMap<std::vector<PointWithNormal>>;

// Fills `cells` (new and empty) with every point under its cell's key, on the worker pool.
void assign_to_cells(const std::vector<PointWithNormal>& points, const BoundingBox& box,
                     std::uint64_t resolution, CellMap& cells);

// One item per entry, drawn uniformly from the entry's list with the calling thread's
// generator, in the map's own order.
std::vector<PointWithNormal> pick_representatives(const CellMap& cells);

}  // namespace vertisift::reduce
