// The driver of one reduction: read the faces and merge their vertices with the normal sums
// (one stage), lay the grid, pick one representative per occupied cell, make the count exact
// and split the selection into positions and normals. Each value is released as soon as its last
// step is done.
#pragma once

#include <cstdint>
#include <vector>

#include "base/point3.h"
#include "mesh_io/path_text.h"
#include "mesh_io/read_error.h"
#include "reduce/point_with_normal.h"

namespace vertisift::reduce {

struct ReducedPoints {
  std::vector<base::Point3, base::BigAllocator<base::Point3>> positions;
  std::vector<base::Point3, base::BigAllocator<base::Point3>> normals;
};

// The points, or the ReadError that ended the reading, unchanged.
using ReduceOutcome = mesh_io::ReadResult<ReducedPoints>;

// `result_limit` is the largest count the caller can hand back; asking a non-empty mesh for
// more throws std::bad_alloc before anything large is allocated.
ReduceOutcome reduce_stl_points(const mesh_io::PathText& path, std::uint64_t clusters,
                                std::uint64_t result_limit = UINT64_MAX);

// Positions and normals of the selection, item for item, in one parallel pass.
ReducedPoints split_selection(const PointList& selection);

}  // namespace vertisift::reduce
