// The uniform grid over the bounding box: the box itself, the number of cells per axis
// derived from the requested count, and the key of the cell that holds a position. All
// arithmetic is single precision, each operation rounded to 32 bits in the order written.
#pragma once

#include <cstdint>

#include "reduce/point_with_normal.h"

namespace vertisift::reduce {

// 2^-23, added to every axis extent so that a flat axis divides without a zero divisor.
inline constexpr float GRID_EPSILON = 1.1920928955078125e-07f;
// The single-precision value nearest to 1/3 (slightly above it).
inline constexpr float CUBE_ROOT_EXPONENT = 0.3333333432674407958984375f;

struct BoundingBox {
  float min_x, max_x, min_y, max_y, min_z, max_z;
};

using CellKey = std::uint64_t;

// NaN and negatives give 0, values of 2^64 and above give 2^64 - 1, others truncate.
std::uint64_t to_u64_saturating(float value);

// The extremes of the positions (fminf/fmaxf, so NaN coordinates are passed over); +inf as
// minimum and -inf as maximum for no points.
BoundingBox compute_bounding_box(const PointList& points);

// ceilf(powf(clusters, CUBE_ROOT_EXPONENT)), correctly rounded, saturated to 64 bits.
std::uint64_t grid_resolution(std::uint64_t clusters);

CellKey cell_key(const base::Point3& position, const BoundingBox& box, std::uint64_t resolution);

}  // namespace vertisift::reduce
