// Visibility from outside a mesh: a point is seen when a ray from it along one of a fixed set
// of directions leaves the mesh without hitting it, as an orthographic view from far away
// along the opposite direction would show it.
//
// The directions are the spherical Fibonacci set of `count` points (z evenly spaced in
// (-1, 1), longitudes stepped by the golden angle), which covers the sphere with nearly
// equal cells, turned by a fixed rotation that keeps the default 64 off the planes of the
// axes (the faces of boxes and axis-aligned models, where a ray along a face would graze
// it). They are
// taken in an order that spreads every prefix of them over the sphere (a stride of about
// count / golden ratio through the set), so that a point seen from a wide range of directions
// is found seen after a ray or two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/point3.h"
#include "rays/triangle_bvh.h"

namespace vertisift::rays {

inline constexpr std::uint32_t NOT_SEEN = UINT32_MAX;

// The view directions, unit length, in the order the tests take them.
std::vector<base::Point3> view_directions(std::size_t count);

// How close to its origin a hit may be and still count: 2^-16 of the largest coordinate of the
// mesh of `bvh`. Nearer hits come from the point's own face or its neighbours through the
// rounding of the point (float positions carry about 2^-24 of it).
float origin_clearance(const TriangleBvh& bvh);

// For each origin i, the index in `directions` of the first along which a ray from it hits
// nothing (hits nearer than `t_min` and on the face `ignored[i]` do not count; `ignored` may
// be empty), or NOT_SEEN. On the pool; every answer depends on its point alone.
void first_clear_directions(const TriangleBvh& bvh, std::span<const base::Point3> origins,
                            std::span<const std::uint32_t> ignored,
                            std::span<const base::Point3> directions, float t_min,
                            std::span<std::uint32_t> first);

}  // namespace vertisift::rays
