#include "reduce/face_normals.h"

#include <cmath>

#include "base/fault.h"
#include "parallel/thread_pool.h"
#include "reduce/vertex_normals.h"

namespace vertisift::reduce {

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

PointList vertex_points_in_face_order(stl::IndexedMesh& mesh, NormalSource source) {
  const std::size_t vertex_count = mesh.vertices.size();
  auto& faces = mesh.faces;
  for (const stl::Face& face : faces) {
    for (auto index : face.vertex_indices) {
      if (index >= vertex_count) base::raise_fault("vertex index out of range of the vertex table");
    }
  }
  if (source != NormalSource::File) {
    parallel::parallel_for(faces.size(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t f = begin; f < end; ++f) {
        stl::Face& face = faces[f];
        face.normal = face_normal(face.normal, mesh.vertices[face.vertex_indices[0]],
                                  mesh.vertices[face.vertex_indices[1]],
                                  mesh.vertices[face.vertex_indices[2]], source);
      }
    });
  }
  // One running sum per vertex, added to in face order on this thread alone: the order of
  // the single-precision additions, and so every bit of the sums, is fixed by the file.
  PointList points(vertex_count);
  for (std::size_t v = 0; v < vertex_count; ++v) points[v] = {mesh.vertices[v], {0, 0, 0}};
  for (const stl::Face& face : faces) {
    for (auto index : face.vertex_indices) {
      base::Point3& sum = points[index].normal;
      sum.x += face.normal.x;
      sum.y += face.normal.y;
      sum.z += face.normal.z;
    }
  }
  parallel::parallel_for(vertex_count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t v = begin; v < end; ++v)
      points[v].normal = normalize_or_zero(points[v].normal);
  });
  return points;
}

}  // namespace vertisift::reduce
