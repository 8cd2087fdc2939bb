// The item every reduction stage passes on, always by value: a position and its unit normal.
#pragma once

#include <vector>

#include "base/big_alloc.h"
#include "base/point3.h"

namespace vertisift::reduce {

struct PointWithNormal {
  base::Point3 position;
  base::Point3 normal;
};

// A sequence of items, in storage that goes back to the system when it is freed.
using PointList = std::vector<PointWithNormal, base::BigAllocator<PointWithNormal>>;

}  // namespace vertisift::reduce
