#include "reduce/vertex_normals.h"

#include <cmath>

#include "base/fault.h"
#include "parallel/thread_pool.h"

namespace vertisift::reduce {
namespace {

// Normal sums live in a dense array indexed by vertex, one array per chunk of faces, rather
// than in a hash map per chunk: every vertex of the mesh is used by a face, so the array has
// no holes. A slot starts at -0.0, the one value that leaves every addend unchanged bit for
// bit (-0 + x == x, even for x = -0 and NaN), so an untouched slot behaves exactly like a
// missing entry when sums are combined.
constexpr base::Point3 NO_SUM = {-0.0f, -0.0f, -0.0f};
// Every partial sum is a whole vertex array: past eight, memory grows faster than speed.
constexpr std::size_t MAX_PARTIAL_SUMS = 8;

using SumArray = std::vector<base::Point3, base::BigAllocator<base::Point3>>;

inline void add_to(base::Point3& sum, const base::Point3& value) {
  sum.x += value.x;
  sum.y += value.y;
  sum.z += value.z;
}

// Adds one face's contributions: its normal once per slot that names a vertex. A vertex named
// in two or three slots gets n + n (then + n) as one sum first, as the face's own small map of
// contributions would hold it, and only then is that added to the running sum.
inline void add_face(SumArray& sums, const mesh_io::Face& face) {
  const auto a = face.vertex_indices[0];
  const auto b = face.vertex_indices[1];
  const auto c = face.vertex_indices[2];
  const base::Point3 n = face.normal;
  if (a != b && a != c && b != c) [[likely]] {
    add_to(sums[a], n);
    add_to(sums[b], n);
    add_to(sums[c], n);
    return;
  }
  const base::Point3 twice = {n.x + n.x, n.y + n.y, n.z + n.z};
  if (a == b && b == c) {
    add_to(sums[a], {twice.x + n.x, twice.y + n.y, twice.z + n.z});
  } else if (a == b) {
    add_to(sums[a], twice);
    add_to(sums[c], n);
  } else if (a == c) {
    add_to(sums[a], twice);
    add_to(sums[b], n);
  } else {
    add_to(sums[a], n);
    add_to(sums[b], twice);
  }
}

}  // namespace

base::Point3 normalize_or_zero(base::Point3 sum) {
  const float squared = (sum.x * sum.x + sum.y * sum.y) + sum.z * sum.z;
  const float length = std::sqrt(squared);
  if (length == 0.0f) return {0.0f, 0.0f, 0.0f};
  return {sum.x / length, sum.y / length, sum.z / length};
}

PointList compute_vertex_normals(const mesh_io::IndexedMesh& mesh) {
  const std::size_t vertex_count = mesh.vertices.size();
  const auto& faces = mesh.faces;
  for (const mesh_io::Face& face : faces) {
    for (auto index : face.vertex_indices) {
      if (index >= vertex_count) base::raise_fault("vertex index out of range of the vertex table");
    }
  }
  // Summation: each chunk of faces folds into an array of its own. There is one chunk per
  // worker (at most MAX_PARTIAL_SUMS), since every chunk costs a whole vertex array.
  std::vector<SumArray> partials;
  if (faces.size() <= 1) {
    partials.emplace_back(vertex_count, NO_SUM);
    for (const mesh_io::Face& face : faces) add_face(partials[0], face);
  } else {
    const std::size_t max_chunks = std::min(parallel::pool_size(), MAX_PARTIAL_SUMS);
    partials.resize(parallel::chunk_count(faces.size(), max_chunks));
    parallel::run_chunks(
        faces.size(),
        [&](std::size_t chunk, std::size_t begin, std::size_t end) {
          SumArray& sums = partials[chunk];
          sums.assign(vertex_count, NO_SUM);
          for (std::size_t i = begin; i < end; ++i) add_face(sums, faces[i]);
        },
        max_chunks);
  }
  // Conversion: the partial sums of vertex v added left to right, normalised, and written
  // with the position to item v in place.
  PointList points(vertex_count);
  parallel::parallel_for(vertex_count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t v = begin; v < end; ++v) {
      base::Point3 sum = partials[0][v];
      for (std::size_t p = 1; p < partials.size(); ++p) add_to(sum, partials[p][v]);
      points[v] = {mesh.vertices[v], normalize_or_zero(sum)};
    }
  });
  return points;
}

}  // namespace vertisift::reduce
