// Points drawn uniformly over a mesh's surface: a face with probability proportional to its
// area, then a uniform point in that face.
//
// Design: the faces stay as the reader delivered them (no vertex merge). Their areas go into
// a cumulative array, summed in blocks of SURFACE_BLOCK faces whatever the pool's size, so
// every bit of it depends on the file alone. Point i takes the four words (4(i mod 4) ...) of
// block i / 4 of the SurfacePoints stream: a 64-bit draw picks the face by binary search over
// the cumulative areas, two 32-bit draws place the point in it. So each point depends only on
// the key and its index, and the points are drawn in parallel in any grouping.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/big_alloc.h"
#include "base/point3.h"
#include "mesh_io/face_source.h"
#include "random/seeded_rng.h"
#include "sample/face_normals.h"

namespace vertisift::sample {

inline constexpr std::size_t SURFACE_BLOCK = 8192;

using AreaList = std::vector<double, base::BigAllocator<double>>;

// The area of the triangle, in double precision; 0 for a degenerate one, and
// NaN or infinity for non-finite corners.
double triangle_area(const base::Point3& a, const base::Point3& b, const base::Point3& c);

// The faces of a mesh that stores its vertices once (a StoredMesh's): triangles of indices
// into the vertex table, every index in range. They store no face normals.
struct IndexedFaces {
  std::span<const base::Point3> positions;
  std::span<const mesh_io::Triangle> triangles;
};

// cumulative[i] = the sum of the usable areas of faces 0..i (an area is usable when finite
// and positive; others count as 0), summed in blocks of SURFACE_BLOCK. Returns the total.
double cumulative_areas(std::span<const mesh_io::RawFace> faces, AreaList& cumulative);
double cumulative_areas(const IndexedFaces& faces, AreaList& cumulative);

// The face whose share of [0, total) holds `target`: the first i with cumulative[i] > target.
// A target at or past the end (rounding can put u * total there) takes the last face with a
// usable area. Faces without one are never returned.
std::size_t pick_face(std::span<const double> cumulative, double target);

// pick_face, answered faster when there are many draws: a guide table splits [0, total) into
// equal buckets and keeps, for each, the first face whose cumulative area passes the bucket's
// start, so a draw searches only the faces of its own bucket. The answer is checked, and a
// draw that rounding put in the wrong bucket falls back to the whole search: every answer
// equals pick_face's.
class FacePicker {
 public:
  // `draws` is how many picks will follow; below GUIDE_MIN_SHARE of the face count the
  // table would cost more than it saves, and none is built.
  FacePicker(std::span<const double> cumulative, double total, std::uint64_t draws);
  std::size_t pick(double target) const;
  // Start loading what pick(target) reads first (the guide entry), and then the cumulative
  // areas it searches (which needs the guide entry).
  void prefetch_guide(double target) const;
  void prefetch_areas(double target) const;

  static constexpr std::uint64_t GUIDE_MIN_SHARE = 16;

 private:
  std::size_t bucket_of(double target) const;

  std::span<const double> cumulative_;
  double bucket_width_ = 0.0;
  std::vector<std::size_t, base::BigAllocator<std::size_t>> guide_;  // one more than the buckets
};

// (1 - sqrt(r1)) a + sqrt(r1) (1 - r2) b + sqrt(r1) r2 c, computed in double precision and
// rounded once: uniform over the triangle for r1, r2 uniform in [0, 1].
base::Point3 point_in_triangle(const base::Point3& a, const base::Point3& b, const base::Point3& c,
                               double r1, double r2);

// The unit normals, or zeros, of a face's three corners, for a mesh whose vertices store
// normals: a surface point's normal blends them.
struct FaceCorners {
  base::Point3 normals[3];
};

// Fills `positions` and `normals` (of equal length) with surface points of `faces`, whose
// cumulative areas (total > 0) are given. A point's normal is its face's face_normal, or,
// when `corners` is not empty (one item per face), the blend of its face's corner normals
// with the point's own weights, (1 - sqrt(r1)) na + sqrt(r1) (1 - r2) nb + sqrt(r1) r2 nc in
// double precision, made unit length.
// When `face_indices` is not empty (one item per point), each point's face goes there.
// The same for indexed faces, which give the same points as the RawFaces of their corners
// with zero stored normals.
void draw_surface_points(std::span<const mesh_io::RawFace> faces,
                         std::span<const double> cumulative, double total, NormalSource source,
                         const random::SampleKey& key, std::span<base::Point3> positions,
                         std::span<base::Point3> normals, std::span<const FaceCorners> corners = {},
                         std::span<std::uint64_t> face_indices = {});
void draw_surface_points(const IndexedFaces& faces, std::span<const double> cumulative,
                         double total, NormalSource source, const random::SampleKey& key,
                         std::span<base::Point3> positions, std::span<base::Point3> normals,
                         std::span<const FaceCorners> corners = {},
                         std::span<std::uint64_t> face_indices = {});

}  // namespace vertisift::sample
