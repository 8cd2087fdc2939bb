// Count adjustment: makes the selection exactly `clusters` long, by a uniform shuffle and cut
// when there are too many representatives, or by uniform draws with replacement from all
// points when there are too few.
#pragma once

#include <cstdint>

#include "reduce/point_with_normal.h"

namespace vertisift::reduce {

// Takes over `representatives` and returns it adjusted. With no points at all there is
// nothing to draw from, and the selection stays empty.
PointList adjust_count(PointList representatives, const PointList& points, std::uint64_t clusters);

}  // namespace vertisift::reduce
