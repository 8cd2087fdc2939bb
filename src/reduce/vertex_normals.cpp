#include "reduce/vertex_normals.h"

#include <cmath>

namespace vertisift::reduce {

base::Point3 normalize_or_zero(base::Point3 sum) {
  const float squared = (sum.x * sum.x + sum.y * sum.y) + sum.z * sum.z;
  const float length = std::sqrt(squared);
  if (length == 0.0f) return {0.0f, 0.0f, 0.0f};
  return {sum.x / length, sum.y / length, sum.z / length};
}

}  // namespace vertisift::reduce
