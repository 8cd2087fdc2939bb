#include "sample/sampling.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "base/big_alloc.h"
#include "base/fault.h"
#include "base/pod_vector.h"
#include "base/thread_storage.h"
#include "parallel/thread_pool.h"
#include "random/uniform.h"
#include "reduce/cell_representatives.h"
#include "reduce/count_adjustment.h"
#include "reduce/grid.h"
#include "sample/surface_sampling.h"
#include "spread/farthest_point.h"
#include "spread/sample_elimination.h"

namespace vertisift::sample {
namespace {

using IndexList = std::vector<std::uint32_t, base::BigAllocator<std::uint32_t>>;

// A selected vertex as its index: the item of the vertex sample's selection.
std::uint32_t vertex_index(std::uint64_t index) { return static_cast<std::uint32_t>(index); }

// Faces copied from the reader per call while the surface sample collects them: 256 faces
// (12 KiB on the stack) spread the reader's per-call work thinly.
constexpr std::size_t COLLECT_BATCH = 256;

// Adds vertices in [0, vertex_count) not chosen yet to `selection`, uniformly without
// replacement, until it holds `count` or holds every vertex.
void take_unchosen(IndexList& selection, std::uint64_t count, std::size_t vertex_count,
                   random::StreamRng& rng) {
  IndexList remaining;
  {
    std::vector<bool> chosen(vertex_count, false);
    for (std::uint32_t index : selection) chosen[index] = true;
    remaining.reserve(vertex_count - selection.size());
    for (std::size_t v = 0; v < vertex_count; ++v) {
      if (!chosen[v]) remaining.push_back(static_cast<std::uint32_t>(v));
    }
  }
  // A partial Fisher-Yates shuffle from the front: each step takes one of the untaken.
  const std::size_t wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(count - selection.size(), remaining.size()));
  for (std::size_t k = 0; k < wanted; ++k) {
    const std::uint64_t j = k + random::uniform_index(rng, remaining.size() - k);
    std::swap(remaining[k], remaining[static_cast<std::size_t>(j)]);
    selection.push_back(remaining[k]);
  }
}

// The vertex sample of `points` (one per vertex, every one a corner of some face): one item per
// occupied cell, the cells in key order, each picked from the cell's items in vertex order,
// then cut or topped up to `count`.
void select_vertices(const reduce::PointList& points, std::uint64_t count,
                     const SampleOptions& options, std::span<base::Point3> positions,
                     std::span<base::Point3> normals) {
  const parallel::SequentialPasses small(points.size() < parallel::SMALL_PASS_ITEMS &&
                                         count < parallel::SMALL_PASS_ITEMS);
  IndexList selection;
  {
    const reduce::BoundingBox box = reduce::compute_bounding_box(points);
    reduce::CellMap cells;
    reduce::assign_to_cells(points, box, reduce::grid_resolution(count), cells);
    random::StreamRng picks(options.key, random::SampleStream::CellPicks);
    selection =
        reduce::pick_representatives<IndexList>(cells, reduce::CellOrder::Key, picks, vertex_index);
  }
  // With `distinct`, the top-up first takes vertices not chosen yet while any remain.
  random::StreamRng adjust(options.key, random::SampleStream::CountAdjustment);
  if (options.distinct && selection.size() < count) {
    reduce::reserve_count(selection, count);
    take_unchosen(selection, count, points.size(), adjust);
  }
  selection =
      reduce::adjust_count(std::move(selection), count, points.size(), adjust, vertex_index);
  parallel::parallel_for(selection.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      positions[i] = points[selection[i]].position;
      normals[i] = points[selection[i]].normal;
    }
  });
}

SampleOutcome sample_vertices(const mesh_io::PathText& path, stl::StlDialect dialect,
                              std::uint64_t count, const SampleOptions& options,
                              std::span<base::Point3> positions, std::span<base::Point3> normals) {
  auto file = stl::read_stl_file(path, dialect);
  if (!file.ok()) return std::move(file.error());
  reduce::PointList points;
  {
    stl::StlFile read = std::move(file.value());
    if (read.mesh.faces.empty()) return std::uint64_t{0};
    const parallel::SequentialPasses small(read.mesh.vertices.size() < parallel::SMALL_PASS_ITEMS);
    points = vertex_points_in_face_order(read.mesh, options.normals);
  }
  select_vertices(points, count, options, positions, normals);
  return count;
}

// The surface sample of `faces` (RawFaces, or IndexedFaces), of `face_count` faces, with
// `corners` when their vertices store normals.
template <class Faces>
SampleOutcome draw_from_faces(const Faces& faces, std::size_t face_count,
                              std::span<const FaceCorners> corners, std::uint64_t count,
                              const SampleOptions& options, std::span<base::Point3> positions,
                              std::span<base::Point3> normals) {
  if (face_count == 0) return std::uint64_t{0};
  const std::uint64_t drawn = options.method == SampleMethod::Surface ? count : options.candidates;
  const parallel::SequentialPasses small(face_count < parallel::SMALL_PASS_ITEMS &&
                                         drawn < parallel::SMALL_PASS_ITEMS);
  AreaList cumulative;
  const double total = cumulative_areas(faces, cumulative);
  if (!(total > 0.0) || !std::isfinite(total)) return NoArea{};
  if (options.method == SampleMethod::Surface) {
    draw_surface_points(faces, cumulative, total, options.normals, options.key, positions, normals,
                        corners, options.face_indices);
    return count;
  }
  // The candidates, drawn as a surface sample of their number, and the ones kept of them.
  static_assert(sizeof(base::Point3) == 3 * sizeof(float), "points are read as float triples");
  const auto size = static_cast<std::size_t>(drawn);
  base::PodVector<base::Point3> points, point_normals;
  base::PodVector<std::uint64_t> point_faces, kept;
  points.resize_zeroed(size);
  point_normals.resize_zeroed(size);
  point_faces.resize_zeroed(options.face_indices.empty() ? 0 : size);
  draw_surface_points(faces, cumulative, total, options.normals, options.key,
                      std::span<base::Point3>(points.data(), size),
                      std::span<base::Point3>(point_normals.data(), size), corners,
                      std::span<std::uint64_t>(point_faces.data(), point_faces.size()));
  kept.resize_zeroed(positions.size());
  const std::span<std::uint64_t> chosen(kept.data(), kept.size());
  if (options.method == SampleMethod::Farthest) {
    std::size_t start = 0;
    if (size > 0) {
      random::StreamRng starts(options.key, random::SampleStream::FarthestStart);
      start = static_cast<std::size_t>(random::uniform_index(starts, size));
    }
    spread::farthest_point_sample<float>(
        std::span<const float>(reinterpret_cast<const float*>(points.data()), 3 * size), start,
        chosen);
  } else {
    spread::eliminate_samples(std::span<const base::Point3>(points.data(), size), total, chosen);
  }
  parallel::parallel_for(chosen.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const auto c = static_cast<std::size_t>(chosen[i]);
      positions[i] = points[c];
      normals[i] = point_normals[c];
      if (!options.face_indices.empty()) options.face_indices[i] = point_faces[c];
    }
  });
  return count;
}

SampleOutcome sample_surface(const mesh_io::PathText& path, stl::StlDialect dialect,
                             std::uint64_t count, const SampleOptions& options,
                             std::span<base::Point3> positions, std::span<base::Point3> normals) {
  base::PodVector<mesh_io::RawFace> faces;
  mesh_io::ReadStatus failure = stl::read_stl_faces(
      path,
      [&](mesh_io::FaceSource& source) -> mesh_io::ReadStatus {
        faces = {};  // a second reading starts afresh
        faces.reserve(static_cast<std::size_t>(source.faces_hint()));
        mesh_io::RawFace batch[COLLECT_BATCH];
        return mesh_io::for_each_batch(source, batch, [&](std::span<const mesh_io::RawFace> got) {
          for (const mesh_io::RawFace& face : got) faces.push_back(face);
        });
      },
      dialect);
  if (failure) return std::move(*failure);
  return draw_from_faces(std::span<const mesh_io::RawFace>(faces.data(), faces.size()),
                         faces.size(), {}, count, options, positions, normals);
}

// The vertices that the triangles use, numbered in order of first use (the order in which an
// STL file's merged vertices come), and the triangles renumbered so.
struct UsedVertices {
  base::PodVector<base::Point3> vertices;
  base::PodVector<mesh_io::Triangle> triangles;
};

UsedVertices number_used_vertices(const mesh_io::StoredMesh& mesh) {
  constexpr mesh_io::VertexIndex UNSEEN = UINT32_MAX;
  std::vector<mesh_io::VertexIndex, base::BigAllocator<mesh_io::VertexIndex>> number(
      mesh.positions.size(), UNSEEN);
  UsedVertices used;
  used.triangles.resize_zeroed(mesh.triangles.size());
  for (std::size_t f = 0; f < mesh.triangles.size(); ++f) {
    for (std::size_t k = 0; k < 3; ++k) {
      const mesh_io::VertexIndex stored = mesh.triangles[f].corners[k];
      if (number[stored] == UNSEEN) {
        number[stored] = static_cast<mesh_io::VertexIndex>(used.vertices.size());
        used.vertices.push_back(mesh.positions[stored]);
      }
      used.triangles[f].corners[k] = number[stored];
    }
  }
  return used;
}

CornerNormals stored_normals(const mesh_io::StoredMesh& mesh) {
  if (mesh.normals.empty()) return {};
  const auto& index = mesh.normal_triangles.empty() ? mesh.triangles : mesh.normal_triangles;
  return {std::span<const base::Point3>(mesh.normals.data(), mesh.normals.size()),
          std::span<const mesh_io::Triangle>(index.data(), index.size())};
}

SampleOutcome sample_stored_vertices(const mesh_io::StoredMesh& mesh, std::uint64_t count,
                                     const SampleOptions& options,
                                     std::span<base::Point3> positions,
                                     std::span<base::Point3> normals) {
  reduce::PointList points;
  {
    const UsedVertices used = number_used_vertices(mesh);
    const parallel::SequentialPasses small(used.vertices.size() < parallel::SMALL_PASS_ITEMS);
    points = vertex_points_of_corners(
        std::span<const base::Point3>(used.vertices.data(), used.vertices.size()),
        std::span<const mesh_io::Triangle>(used.triangles.data(), used.triangles.size()),
        stored_normals(mesh), options.normals);
  }
  select_vertices(points, count, options, positions, normals);
  return count;
}

SampleOutcome sample_stored_surface(const mesh_io::StoredMesh& mesh, std::uint64_t count,
                                    const SampleOptions& options, std::span<base::Point3> positions,
                                    std::span<base::Point3> normals) {
  const std::size_t face_count = mesh.triangles.size();
  const IndexedFaces faces{
      std::span<const base::Point3>(mesh.positions.data(), mesh.positions.size()),
      std::span<const mesh_io::Triangle>(mesh.triangles.data(), face_count)};
  // Stored vertex normals are resolved per corner (made unit, or under Auto replaced where
  // they disagree with the face) before the points blend them. Smooth normals blend the
  // vertex normals that the faces' own normals sum to.
  const CornerNormals stored = stored_normals(mesh);
  base::PodVector<FaceCorners> corners;
  if (options.normals == NormalSource::Smooth) {
    const parallel::SequentialPasses small(face_count < parallel::SMALL_PASS_ITEMS);
    const reduce::PointList vertex_normals =
        vertex_points_of_corners(faces.positions, faces.triangles, {}, NormalSource::Geometry);
    corners.resize_zeroed(face_count);
    parallel::parallel_for(face_count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t f = begin; f < end; ++f) {
        for (std::size_t k = 0; k < 3; ++k) {
          corners[f].normals[k] = vertex_normals[mesh.triangles[f].corners[k]].normal;
        }
      }
    });
  } else if (!stored.empty() && options.normals != NormalSource::Geometry) {
    const parallel::SequentialPasses small(face_count < parallel::SMALL_PASS_ITEMS);
    corners.resize_zeroed(face_count);
    const base::Point3* at = mesh.positions.data();
    parallel::parallel_for(face_count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t f = begin; f < end; ++f) {
        const auto* index = mesh.triangles[f].corners;
        for (std::size_t k = 0; k < 3; ++k) {
          corners[f].normals[k] = face_normal(stored.of(f, k), at[index[0]], at[index[1]],
                                              at[index[2]], options.normals);
        }
      }
    });
  }
  return draw_from_faces(faces, face_count,
                         std::span<const FaceCorners>(corners.data(), corners.size()), count,
                         options, positions, normals);
}

void check_request(std::uint64_t count, const SampleOptions& options,
                   std::span<base::Point3> positions, std::span<base::Point3> normals) {
  if (positions.size() != count || normals.size() != count ||
      (!options.face_indices.empty() && options.face_indices.size() != count)) {
    base::raise_fault("sample storage does not match the count");
  }
  const bool chooses =
      options.method == SampleMethod::Farthest || options.method == SampleMethod::Poisson;
  if (chooses && options.candidates < count) {
    base::raise_fault("fewer candidates than points to choose");
  }
}

// The options as the methods take them: a vertex's smooth normal is its normal from the
// geometry.
SampleOptions effective(const SampleOptions& options) {
  SampleOptions own = options;
  if (own.method == SampleMethod::Vertices && own.normals == NormalSource::Smooth) {
    own.normals = NormalSource::Geometry;
  }
  return own;
}

}  // namespace

SampleOutcome sample_stored(const mesh_io::StoredMesh& mesh, std::uint64_t count,
                            const SampleOptions& asked, std::span<base::Point3> positions,
                            std::span<base::Point3> normals) {
  base::prepare_thread_storage();
  check_request(count, asked, positions, normals);
  const SampleOptions options = effective(asked);
  if (mesh.triangles.empty()) return std::uint64_t{0};
  if (options.method != SampleMethod::Vertices) {
    return sample_stored_surface(mesh, count, options, positions, normals);
  }
  return sample_stored_vertices(mesh, count, options, positions, normals);
}

SampleOutcome sample_stl(const mesh_io::PathText& path, stl::StlDialect dialect,
                         std::uint64_t count, const SampleOptions& asked,
                         std::span<base::Point3> positions, std::span<base::Point3> normals) {
  base::prepare_thread_storage();
  check_request(count, asked, positions, normals);
  const SampleOptions options = effective(asked);
  if (options.method == SampleMethod::Vertices) {
    return sample_vertices(path, dialect, count, options, positions, normals);
  }
  if (options.normals == NormalSource::Smooth) {
    // Smooth normals need the faces around each vertex: the mesh with its vertices merged,
    // whose faces give the same points as the file's.
    auto mesh = formats::read_mesh_file(path, formats::STL_FORMAT, dialect);
    if (!mesh.ok()) return std::move(mesh.error());
    return sample_stored(mesh.value(), count, options, positions, normals);
  }
  return sample_surface(path, dialect, count, options, positions, normals);
}

SampleOutcome sample_file(const mesh_io::PathText& path, std::string_view format,
                          stl::StlDialect dialect, std::uint64_t count,
                          const SampleOptions& options, std::span<base::Point3> positions,
                          std::span<base::Point3> normals) {
  if (format == formats::STL_FORMAT) {
    return sample_stl(path, dialect, count, options, positions, normals);
  }
  base::prepare_thread_storage();
  auto mesh = formats::read_mesh_file(path, format, dialect);
  if (!mesh.ok()) return std::move(mesh.error());
  return sample_stored(mesh.value(), count, options, positions, normals);
}

}  // namespace vertisift::sample
