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

SampleOutcome sample_vertices(const mesh_io::PathText& path, std::uint64_t count,
                              const SampleOptions& options, std::span<base::Point3> positions,
                              std::span<base::Point3> normals) {
  auto file = stl::read_stl_file(path);
  if (!file.ok()) return std::move(file.error());
  reduce::PointList points;
  {
    stl::StlFile read = std::move(file.value());
    if (read.mesh.faces.empty()) return std::uint64_t{0};
    const parallel::SequentialPasses small(read.mesh.vertices.size() < parallel::SMALL_PASS_ITEMS);
    points = vertex_points_in_face_order(read.mesh, options.normals);
  }
  const parallel::SequentialPasses small(points.size() < parallel::SMALL_PASS_ITEMS &&
                                         count < parallel::SMALL_PASS_ITEMS);
  // One item per occupied cell, the cells in key order, each picked from the cell's items in
  // vertex order.
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
  return count;
}

SampleOutcome sample_surface(const mesh_io::PathText& path, std::uint64_t count,
                             const SampleOptions& options, std::span<base::Point3> positions,
                             std::span<base::Point3> normals) {
  base::PodVector<mesh_io::RawFace> faces;
  mesh_io::ReadStatus failure =
      stl::read_stl_faces(path, [&](mesh_io::FaceSource& source) -> mesh_io::ReadStatus {
        faces = {};  // a second reading starts afresh
        mesh_io::RawFace batch[COLLECT_BATCH];
        return mesh_io::for_each_batch(source, batch, [&](std::span<const mesh_io::RawFace> got) {
          for (const mesh_io::RawFace& face : got) faces.push_back(face);
        });
      });
  if (failure) return std::move(*failure);
  if (faces.empty()) return std::uint64_t{0};
  const std::span<const mesh_io::RawFace> all(faces.data(), faces.size());
  const parallel::SequentialPasses small(faces.size() < parallel::SMALL_PASS_ITEMS &&
                                         count < parallel::SMALL_PASS_ITEMS);
  AreaList cumulative;
  const double total = cumulative_areas(all, cumulative);
  if (!(total > 0.0) || !std::isfinite(total)) return NoArea{};
  draw_surface_points(all, cumulative, total, options.normals, options.key, positions, normals);
  return count;
}

}  // namespace

SampleOutcome sample_stl(const mesh_io::PathText& path, std::uint64_t count,
                         const SampleOptions& options, std::span<base::Point3> positions,
                         std::span<base::Point3> normals) {
  base::prepare_thread_storage();
  if (positions.size() != count || normals.size() != count) {
    base::raise_fault("sample storage does not match the count");
  }
  if (options.method == SampleMethod::Surface) {
    return sample_surface(path, count, options, positions, normals);
  }
  return sample_vertices(path, count, options, positions, normals);
}

}  // namespace vertisift::sample
