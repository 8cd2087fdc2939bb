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

// Faces per block whose least and greatest vertex index vertex_points_in_face_order keeps:
// few enough that a block's corners span a narrow range of vertex numbers, enough that the
// ranges (16 bytes per 4096 faces) cost nothing beside the faces.
constexpr std::size_t FACE_BLOCK = 4096;

struct NormalSum {
  double x, y, z;
};

using SumList = std::vector<NormalSum, base::BigAllocator<NormalSum>>;

inline bool is_zero(const base::Point3& v) { return v.x == 0.0f && v.y == 0.0f && v.z == 0.0f; }

inline base::Point3 unit_of(const base::Point3& v) { return unit_or_zero(v.x, v.y, v.z); }

// What a face adds to the sums of its corners: under File the stored normal as it is, so
// that, as in reduce_stl_points, a longer stored normal weighs more; one with a NaN or an
// infinite component adds nothing.
inline base::Point3 vertex_contribution(const mesh_io::Face& face, const base::Point3* vertices,
                                        NormalSource source) {
  const auto* corners = face.vertex_indices;
  if (source != NormalSource::File) {
    return face_normal(face.normal, vertices[corners[0]], vertices[corners[1]],
                       vertices[corners[2]], source);
  }
  const base::Point3& n = face.normal;
  if (std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z)) [[likely]]
    return n;
  return {0.0f, 0.0f, 0.0f};
}

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
  if (source == NormalSource::Geometry) return geometric;
  const base::Point3 own = unit_of(stored);
  if (is_zero(own)) return geometric;
  if (is_zero(geometric)) return own;  // a degenerate face: the stored normal is all there is
  const double cosine =
      double{own.x} * geometric.x + double{own.y} * geometric.y + double{own.z} * geometric.z;
  return cosine >= AUTO_MIN_COSINE ? own : geometric;
}

reduce::PointList vertex_points_in_face_order(const mesh_io::IndexedMesh& mesh,
                                              NormalSource source) {
  const std::size_t vertex_count = mesh.vertices.size();
  const auto& faces = mesh.faces;
  // The least and greatest vertex index of each block of faces. Vertices are numbered in
  // order of first appearance, so a block's corners usually lie in a narrow range, and a
  // worker can pass over the blocks that have none of its vertices.
  const std::size_t blocks = (faces.size() + FACE_BLOCK - 1) / FACE_BLOCK;
  std::vector<std::pair<mesh_io::VertexIndex, mesh_io::VertexIndex>> spans(blocks);
  parallel::parallel_for(blocks, [&](std::size_t first, std::size_t last) {
    for (std::size_t b = first; b < last; ++b) {
      mesh_io::VertexIndex low = UINT32_MAX, high = 0;
      const std::size_t end = std::min(faces.size(), (b + 1) * FACE_BLOCK);
      for (std::size_t f = b * FACE_BLOCK; f < end; ++f) {
        for (auto index : faces[f].vertex_indices) {
          low = std::min(low, index);
          high = std::max(high, index);
        }
      }
      if (high >= vertex_count) base::raise_fault("vertex index out of range of the vertex table");
      spans[b] = {low, high};
    }
  });
  // One running sum per vertex, added to in face order: the order of the additions, and so
  // every bit of the sums, is fixed by the file. Each worker owns a range of vertices and
  // walks the faces for the corners in its range, so no sum is shared, and how the vertices
  // are split (the pool's size) changes no bit of the result. A face's normal is worked out
  // only by the workers that own one of its corners. The sums are doubles: a few float
  // normals near float's largest value already overflow a float sum, while a double holds
  // the sum of any number of them.
  reduce::PointList points(vertex_count);
  const base::Point3* vertices = mesh.vertices.data();
  parallel::run_chunks(
      vertex_count,
      [&](std::size_t, std::size_t begin, std::size_t end) {
        SumList sums(end - begin, NormalSum{0.0, 0.0, 0.0});
        for (std::size_t b = 0; b < blocks; ++b) {
          if (spans[b].second < begin || spans[b].first >= end) continue;
          const std::size_t block_end = std::min(faces.size(), (b + 1) * FACE_BLOCK);
          for (std::size_t f = b * FACE_BLOCK; f < block_end; ++f) {
            const mesh_io::Face& face = faces[f];
            const auto* corners = face.vertex_indices;
            const bool in_range[3] = {corners[0] >= begin && corners[0] < end,
                                      corners[1] >= begin && corners[1] < end,
                                      corners[2] >= begin && corners[2] < end};
            if (!(in_range[0] || in_range[1] || in_range[2])) continue;
            const base::Point3 normal = vertex_contribution(face, vertices, source);
            for (std::size_t corner = 0; corner < 3; ++corner) {
              if (!in_range[corner]) continue;
              NormalSum& sum = sums[corners[corner] - begin];
              sum.x += normal.x;
              sum.y += normal.y;
              sum.z += normal.z;
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

}  // namespace vertisift::sample
