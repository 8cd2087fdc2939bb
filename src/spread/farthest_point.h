// Exact farthest-point sampling: the first point given, then each time the point whose
// distance to the points chosen so far is largest, ties to the lowest index.
//
// Design: the points are sorted along a Morton curve (coordinates quantised to 16 bits per
// axis) under a binary tree that cuts a run of points where the next bit of their codes
// changes, down to leaves of at most LEAF_POINTS: every node holds one cell of an octree cut
// in halves axis by axis, so boxes are tight and siblings never overlap. Every node keeps
// its box and its farthest point (its largest distance, ties to the lowest index); the next
// point is the root's. A newly chosen point updates only the nodes it can bring closer: a
// node is passed over when a lower bound of the distance from the point to its box is at
// least its largest distance, since no point inside can then get closer. The bound is taken
// in double precision and lowered by a margin larger than any rounding of the distances,
// which are computed as (dx² + dy²) + dz² in the points' own precision, so the result is
// exactly that of the plain O(m·k) loop. The loop runs on the points scaled by the power of
// two that brings their largest magnitude into [2^59, 2^60): the scaling is exact, so the
// choice is that of the points as given wherever no distance underflows or overflows, and a
// model gives the same choice at any scale, 1e-30 or 1e30, where single-precision squares
// would vanish or overflow. The codes are computed, and an update that reaches many points is
// spread, on the worker pool, subtree by subtree; the result does not depend on the pool's
// size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vertisift::spread {

// Large leaves: a leaf's points are gone over in one tight loop, while every node costs a
// bound and a branch that is hard to predict.
inline constexpr std::size_t LEAF_POINTS = 256;

// The most the tree takes per point of precision T while it is built and runs: the codes and
// the order, twice while they are sorted, then the coordinates, distances and indices.
template <class T>
inline constexpr std::size_t TREE_BYTES_PER_POINT = 4 * sizeof(T) + 16;

// (dx² + dy²) + dz² in T, with dx = a.x - b.x and so on: the distance the sampling compares.
template <class T>
inline T squared_distance(const T* a, const T* b) {
  const T dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
  return (dx * dx + dy * dy) + dz * dz;
}

// Writes into `chosen` (k items, k <= m) the indices of farthest-point sampling over the m
// points in `coordinates` (x, y, z of each, 3m values, all finite), starting with `start`
// (< m when k > 0), the distances taken between the points scaled as above. T is float or
// double.
template <class T>
void farthest_point_sample(std::span<const T> coordinates, std::size_t start,
                           std::span<std::uint64_t> chosen);

}  // namespace vertisift::spread
