// Blue-noise subsets of a dense point sample, by weighted sample elimination: every point
// weighs the sum of w(d) over its neighbours closer than R, w(d) = (1 - d/R)^8, and the
// heaviest point is removed, its neighbours' weights lowered, until `keep` points remain.
//
// R is the spacing of `keep` points packed hexagonally over the sample's surface area A,
// sqrt(2A / (√3 keep)), the largest smallest distance `keep` points on that area can have.
// Distances below d_min = 0.65 R (1 - (keep/m)^1.5) count as d_min (weight limiting): in a
// dense sample, pairs closer than the final spacing can reach are all alike, and letting the
// closest dominate would thin some places at the expense of others. That holds on a smooth
// surface; on a thin wall, whose two sides lie closer than d_min, every point has neighbours
// that count as d_min across it, and limiting then keeps pairs on one side just as close.
// So when the limited elimination keeps two points closer than d_min, it runs again without
// limiting, and the set whose closest pair lies farther apart is kept: on smooth models the
// limited one (smallest distance about 0.67 R, against 0.61 R without), on thin-walled parts
// the other (0.45 R, against 0.01 R).
//
// Chosen over dart throwing and its kin because it returns exactly `keep` points, whatever the
// surface, and needs no radius guessed in advance; its result depends on the points alone:
// the weights are summed over each point's neighbours in index order and the removal order
// is fixed (the heavier first, of equal weights the higher index), all in double precision
// with one rounding per operation, so every machine removes the same points.
//
// Memory: the pairs closer than R number about 3.6 m/keep per point, m²/keep in all. While
// the cells searched for them hold at most `neighbour_budget` pairs, they are found once and
// kept (8 bytes each); beyond that, as with many more candidates than points kept, they are
// measured again in the cells by every pass, so that memory stays linear in m. The points
// kept are the same either way.
#pragma once

#include <cstdint>
#include <span>

#include "base/point3.h"

namespace vertisift::spread {

// The most pairs the cells around the points may hold for the neighbours to be stored: at
// most 512 MiB of lists.
inline constexpr std::uint64_t NEIGHBOUR_BUDGET = std::uint64_t{1} << 26;

// Writes into `kept` (keep <= m items) the indices, in increasing order, of the points that
// the elimination keeps of the m `points` (finite), whose surface has area `area` (> 0).
void eliminate_samples(std::span<const base::Point3> points, double area,
                       std::span<std::uint64_t> kept,
                       std::uint64_t neighbour_budget = NEIGHBOUR_BUDGET);

}  // namespace vertisift::spread
