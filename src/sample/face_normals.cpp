#include "sample/face_normals.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "base/big_alloc.h"
#include "base/fault.h"
#include "parallel/thread_pool.h"

namespace vertisift::sample {
namespace {

// Faces per block whose least and greatest vertex index the vertex sums keep:
// few enough that a block's corners span a narrow range of vertex numbers, enough that the
// ranges (16 bytes per 4096 faces) cost nothing beside the faces.
constexpr std::size_t FACE_BLOCK = 4096;

struct NormalSum {
  double x, y, z;
};

using SumList = std::vector<NormalSum, base::BigAllocator<NormalSum>>;

inline bool is_zero(const base::Point3& v) { return v.x == 0.0f && v.y == 0.0f && v.z == 0.0f; }

inline base::Point3 unit_of(const base::Point3& v) { return unit_or_zero(v.x, v.y, v.z); }

}  // namespace

base::Point3 unit_or_zero(double x, double y, double z) {
  // Within the promised range no square overflows or underflows in double precision, so the
  // length is accurate to a few units in its last place, far below float's, and each
  // quotient rounds to about half a float unit of the exact unit vector's component.
  const double length = std::sqrt((x * x + y * y) + z * z);
  // A NaN component fails the first test, an infinite one the second.
  if (!(length > 0.0) || !std::isfinite(length)) [[unlikely]]
    return {0.0f, 0.0f, 0.0f};
  return {static_cast<float>(x / length), static_cast<float>(y / length),
          static_cast<float>(z / length)};
}

base::Point3 geometric_normal(const base::Point3& a, const base::Point3& b, const base::Point3& c) {
  const EdgeCross cross = edge_cross(a, b, c);
  return unit_or_zero(cross.x, cross.y, cross.z);
}

base::Point3 face_normal(const base::Point3& stored, const base::Point3& a, const base::Point3& b,
                         const base::Point3& c, NormalSource source) {
  if (source == NormalSource::File) return unit_of(stored);
  const base::Point3 geometric = geometric_normal(a, b, c);
  if (source == NormalSource::Geometry || source == NormalSource::Smooth ||
      source == NormalSource::Outward) {
    return geometric;
  }
  const base::Point3 own = unit_of(stored);
  if (is_zero(own)) return geometric;
  if (is_zero(geometric)) return own;  // a degenerate face: the stored normal is all there is
  const double cosine =
      double{own.x} * geometric.x + double{own.y} * geometric.y + double{own.z} * geometric.z;
  return cosine >= AUTO_MIN_COSINE ? own : geometric;
}

namespace {

// One PointWithNormal per vertex, in vertex order, from any mesh whose faces name their
// corners by index: `corners(f)` gives face f's three vertex indices, `contributions(f, out)`
// what the face adds to the sums of its three corners, in corner order.
template <class Corners, class Contributions>
reduce::PointList sum_vertex_normals(std::size_t vertex_count, const base::Point3* vertices,
                                     std::size_t face_count, const Corners& corners,
                                     const Contributions& contributions) {
  // The least and greatest vertex index of each block of faces. Vertices are numbered in
  // order of first appearance, so a block's corners usually lie in a narrow range, and a
  // worker can pass over the blocks that have none of its vertices.
  const std::size_t blocks = (face_count + FACE_BLOCK - 1) / FACE_BLOCK;
  std::vector<std::pair<mesh_io::VertexIndex, mesh_io::VertexIndex>> spans(blocks);
  parallel::parallel_for(blocks, [&](std::size_t first, std::size_t last) {
    for (std::size_t b = first; b < last; ++b) {
      mesh_io::VertexIndex low = UINT32_MAX, high = 0;
      const std::size_t end = std::min(face_count, (b + 1) * FACE_BLOCK);
      for (std::size_t f = b * FACE_BLOCK; f < end; ++f) {
        const mesh_io::VertexIndex* face = corners(f);
        for (std::size_t corner = 0; corner < 3; ++corner) {
          low = std::min(low, face[corner]);
          high = std::max(high, face[corner]);
        }
      }
      if (high >= vertex_count) base::raise_fault("vertex index out of range of the vertex table");
      spans[b] = {low, high};
    }
  });
  // One running sum per vertex, added to in face order: the order of the additions, and so
  // every bit of the sums, is fixed by the file. Each worker owns a range of vertices and
  // walks the faces for the corners in its range, so no sum is shared, and how the vertices
  // are split (the pool's size) changes no bit of the result. A face's normals are worked out
  // only by the workers that own one of its corners. The sums are doubles: a few float
  // normals near float's largest value already overflow a float sum, while a double holds
  // the sum of any number of them.
  reduce::PointList points(vertex_count);
  parallel::run_chunks(
      vertex_count,
      [&](std::size_t, std::size_t begin, std::size_t end) {
        SumList sums(end - begin, NormalSum{0.0, 0.0, 0.0});
        for (std::size_t b = 0; b < blocks; ++b) {
          if (spans[b].second < begin || spans[b].first >= end) continue;
          const std::size_t block_end = std::min(face_count, (b + 1) * FACE_BLOCK);
          for (std::size_t f = b * FACE_BLOCK; f < block_end; ++f) {
            const mesh_io::VertexIndex* face = corners(f);
            const bool in_range[3] = {face[0] >= begin && face[0] < end,
                                      face[1] >= begin && face[1] < end,
                                      face[2] >= begin && face[2] < end};
            if (!(in_range[0] || in_range[1] || in_range[2])) continue;
            base::Point3 normals[3];
            contributions(f, normals);
            for (std::size_t corner = 0; corner < 3; ++corner) {
              if (!in_range[corner]) continue;
              NormalSum& sum = sums[face[corner] - begin];
              sum.x += normals[corner].x;
              sum.y += normals[corner].y;
              sum.z += normals[corner].z;
            }
          }
        }
        for (std::size_t v = begin; v < end; ++v) {
          const NormalSum& sum = sums[v - begin];
          points[v] = {vertices[v], unit_or_zero(sum.x, sum.y, sum.z)};
        }
      },
      parallel::pool_size());
  return points;
}

}  // namespace

base::Point3 stored_contribution(const base::Point3& stored, const base::Point3& a,
                                 const base::Point3& b, const base::Point3& c,
                                 NormalSource source) {
  if (source != NormalSource::File) return face_normal(stored, a, b, c, source);
  if (std::isfinite(stored.x) && std::isfinite(stored.y) && std::isfinite(stored.z)) [[likely]]
    return stored;
  return {0.0f, 0.0f, 0.0f};
}

reduce::PointList vertex_points_of_corners(std::span<const base::Point3> vertices,
                                           std::span<const mesh_io::Triangle> triangles,
                                           const CornerNormals& stored, NormalSource source) {
  const base::Point3* at = vertices.data();
  const auto corners_of = [&](std::size_t f) { return triangles[f].corners; };
  // Each face's contributions by `contribution(f, a, b, c, out)`, its corners looked up.
  const auto sum = [&](const auto& contribution) {
    return sum_vertex_normals(
        vertices.size(), at, triangles.size(), corners_of, [&](std::size_t f, base::Point3* out) {
          const auto* corners = triangles[f].corners;
          contribution(f, at[corners[0]], at[corners[1]], at[corners[2]], out);
        });
  };
  if (source == NormalSource::Geometry || source == NormalSource::Smooth ||
      source == NormalSource::Outward || stored.empty()) {
    // Without stored normals every corner has the zero normal: File gives nothing, Auto the
    // face's own.
    return sum([&](std::size_t, const base::Point3& a, const base::Point3& b, const base::Point3& c,
                   base::Point3* out) {
      out[0] = out[1] = out[2] = source == NormalSource::File
                                     ? base::Point3{0.0f, 0.0f, 0.0f}
                                     : face_normal({0.0f, 0.0f, 0.0f}, a, b, c, source);
    });
  }
  if (stored.stream->domain == mesh_io::Domain::Face) {
    // One stored normal for the whole face (STL): worked out once.
    const base::Point3* normals = stored.normals.data();
    return sum([&](std::size_t f, const base::Point3& a, const base::Point3& b,
                   const base::Point3& c, base::Point3* out) {
      out[0] = out[1] = out[2] = stored_contribution(normals[f], a, b, c, source);
    });
  }
  return sum([&](std::size_t f, const base::Point3& a, const base::Point3& b, const base::Point3& c,
                 base::Point3* out) {
    for (std::size_t k = 0; k < 3; ++k) {
      out[k] = stored_contribution(stored.of(f, k), a, b, c, source);
    }
  });
}

}  // namespace vertisift::sample
