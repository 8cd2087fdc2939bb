// Points drawn uniformly over a mesh's surface: a face with probability proportional to its
// area, then a uniform point in that face.
//
// Design: the faces stay as the reader delivered them (STL's merged or not, as the caller
// read them: the points are the same). Their areas go into
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
#include "mesh_io/mesh.h"
#include "random/seeded_rng.h"
#include "sample/face_normals.h"

namespace vertisift::sample {

inline constexpr std::size_t SURFACE_BLOCK = 8192;

using AreaList = std::vector<double, base::BigAllocator<double>>;

// The area of the triangle, in double precision; 0 for a degenerate one, and
// NaN or infinity for non-finite corners.
double triangle_area(const base::Point3& a, const base::Point3& b, const base::Point3& c);

// cumulative[i] = the sum of the usable areas of the mesh's triangles 0..i (an area is usable
// when finite and positive; others count as 0), summed in blocks of SURFACE_BLOCK. Returns
// the total.
double cumulative_areas(const mesh_io::Mesh& mesh, AreaList& cumulative);

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

// The weights of a surface point's face's three corners, in the order of its triangle: the
// point is w0 a + w1 b + w2 c.
struct CornerWeights {
  float w[3];
};

// Where the points go: `positions` and `normals` of equal length; `faces` and `weights`,
// each empty or of that length, get each point's triangle and its corners' weights.
struct SurfaceOutput {
  std::span<base::Point3> positions;
  std::span<base::Point3> normals;
  std::span<std::uint64_t> faces;
  std::span<CornerWeights> weights;
};

// Fills `out` with surface points of `mesh`, whose cumulative areas (total > 0) are given. A
// point's normal is its face's face_normal of the face's stored normal (`face_normals`, one
// per triangle, or zero when empty), or, when `corners` is not empty (one item per face),
// the blend of its face's corner normals with the point's own weights,
// (1 - sqrt(r1)) na + sqrt(r1) (1 - r2) nb + sqrt(r1) r2 nc in double precision, made unit
// length. The points are those of indices first_index, first_index + 1, ... of the key's
// sequence (first_index a multiple of 4): a sample drawn in parts is the sample drawn whole.
void draw_surface_points(const mesh_io::Mesh& mesh, std::span<const double> cumulative,
                         double total, NormalSource source, const random::SampleKey& key,
                         const SurfaceOutput& out, std::span<const base::Point3> face_normals,
                         std::span<const FaceCorners> corners = {}, std::uint64_t first_index = 0);

}  // namespace vertisift::sample
