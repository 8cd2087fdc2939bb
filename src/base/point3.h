// Three single-precision floats: a position, a normal or a sum of normals.
#pragma once

namespace vertisift::base {

struct Point3 {
  float x;
  float y;
  float z;
};

}  // namespace vertisift::base
