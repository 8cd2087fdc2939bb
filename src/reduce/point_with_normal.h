// The item every reduction stage passes on, always by value: a position and its unit normal.
#pragma once

#include <vector>

#include "parallel/big_alloc.h"
#include "stl/point3.h"

namespace vertisift::reduce {

struct PointWithNormal {
  Point3 position;
  Point3 normal;
};

// A sequence of items, in storage that goes back to the system when it is freed.
using PointList = std::vector<PointWithNormal, BigAllocator<PointWithNormal>>;

}  // namespace vertisift::reduce
