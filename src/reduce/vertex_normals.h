// The vertex normal rule of the reduction: a vertex's normal is the sum of the stored normals
// of the faces that use it (summed by the vertex merge, not recomputed, not weighted), made
// unit length in single precision.
#pragma once

#include "base/point3.h"

namespace vertisift::reduce {

// (x, y, z) / sqrt((x*x + y*y) + z*z) in single precision; (+0, +0, +0) for a zero length.
base::Point3 normalize_or_zero(base::Point3 sum);

}  // namespace vertisift::reduce
