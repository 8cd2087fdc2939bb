#include "reduce/face_normals.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "base/fault.h"
#include "parallel/thread_pool.h"
#include "reduce/vertex_normals.h"

namespace vertisift::reduce {
namespace {

// Faces per block of the index ranges below.
constexpr std::size_t FACE_BLOCK = 4096;

}  // namespace

base::Point3 geometric_normal(const base::Point3& a, const base::Point3& b, const base::Point3& c) {
  const double ux = double{b.x} - a.x, uy = double{b.y} - a.y, uz = double{b.z} - a.z;
  const double vx = double{c.x} - a.x, vy = double{c.y} - a.y, vz = double{c.z} - a.z;
  const double nx = uy * vz - uz * vy;
  const double ny = uz * vx - ux * vz;
  const double nz = ux * vy - uy * vx;
  const double length = std::sqrt((nx * nx + ny * ny) + nz * nz);
  if (!(length > 0.0) || !std::isfinite(length)) [[unlikely]]
    return {0.0f, 0.0f, 0.0f};
  return {static_cast<float>(nx / length), static_cast<float>(ny / length),
          static_cast<float>(nz / length)};
}

bool usable_normal(const base::Point3& normal) {
  return std::isfinite(normal.x) && std::isfinite(normal.y) && std::isfinite(normal.z) &&
         (normal.x != 0.0f || normal.y != 0.0f || normal.z != 0.0f);
}

base::Point3 face_normal(const base::Point3& stored, const base::Point3& a, const base::Point3& b,
                         const base::Point3& c, NormalSource source) {
  if (source == NormalSource::File) return stored;
  if (source == NormalSource::Auto && usable_normal(stored)) return stored;
  return geometric_normal(a, b, c);
}

PointList vertex_points_in_face_order(const stl::IndexedMesh& mesh, NormalSource source) {
  const std::size_t vertex_count = mesh.vertices.size();
  const auto& faces = mesh.faces;
  // The least and greatest vertex index of each block of faces. Vertices are numbered in
  // order of first appearance, so a block's corners usually lie in a narrow range, and a
  // worker can pass over the blocks that have none of its vertices.
  const std::size_t blocks = (faces.size() + FACE_BLOCK - 1) / FACE_BLOCK;
  std::vector<std::pair<stl::VertexIndex, stl::VertexIndex>> spans(blocks);
  parallel::parallel_for(blocks, [&](std::size_t first, std::size_t last) {
    for (std::size_t b = first; b < last; ++b) {
      stl::VertexIndex low = UINT32_MAX, high = 0;
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
  // One running sum per vertex, added to in face order: the order of the single-precision
  // additions, and so every bit of the sums, is fixed by the file. Each worker owns a range
  // of vertices and walks the faces for the corners in its range, so no sum is shared, and
  // how the vertices are split (the pool's size) changes no bit of the result. A face's
  // normal is worked out only by the workers that own one of its corners.
  PointList points(vertex_count);
  parallel::run_chunks(
      vertex_count,
      [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t v = begin; v < end; ++v) points[v] = {mesh.vertices[v], {0, 0, 0}};
        for (std::size_t b = 0; b < blocks; ++b) {
          if (spans[b].second < begin || spans[b].first >= end) continue;
          const std::size_t block_end = std::min(faces.size(), (b + 1) * FACE_BLOCK);
          for (std::size_t f = b * FACE_BLOCK; f < block_end; ++f) {
            const stl::Face& face = faces[f];
            const auto* corners = face.vertex_indices;
            const bool in_range[3] = {corners[0] >= begin && corners[0] < end,
                                      corners[1] >= begin && corners[1] < end,
                                      corners[2] >= begin && corners[2] < end};
            if (!(in_range[0] || in_range[1] || in_range[2])) continue;
            const base::Point3 normal =
                source == NormalSource::File
                    ? face.normal
                    : face_normal(face.normal, mesh.vertices[corners[0]], mesh.vertices[corners[1]],
                                  mesh.vertices[corners[2]], source);
            for (std::size_t corner = 0; corner < 3; ++corner) {
              if (!in_range[corner]) continue;
              base::Point3& sum = points[corners[corner]].normal;
              sum.x += normal.x;
              sum.y += normal.y;
              sum.z += normal.z;
            }
          }
        }
        for (std::size_t v = begin; v < end; ++v) {
          points[v].normal = normalize_or_zero(points[v].normal);
        }
      },
      parallel::pool_size());
  return points;
}

}  // namespace vertisift::reduce
