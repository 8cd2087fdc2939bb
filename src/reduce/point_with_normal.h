// The item every reduction stage passes on, always by value: a position and its unit normal.
#pragma once

#include "stl/point3.h"

namespace vertisift::reduce {

struct PointWithNormal {
  Point3 position;
  Point3 normal;
};

}  // namespace vertisift::reduce
