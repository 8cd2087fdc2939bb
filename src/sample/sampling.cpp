#include "sample/sampling.h"

#include "sample/carry.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "base/big_alloc.h"
#include "base/fault.h"
#include "base/pod_vector.h"
#include "base/thread_storage.h"
#include "mesh_io/side_files.h"
#include "parallel/thread_pool.h"
#include "random/uniform.h"
#include "reduce/cell_representatives.h"
#include "reduce/count_adjustment.h"
#include "reduce/grid.h"
#include "sample/carry.h"
#include "sample/surface_sampling.h"
#include "sample/visible_sampling.h"
#include "spread/farthest_point.h"
#include "spread/sample_elimination.h"

namespace vertisift::sample {
namespace {

using IndexList = std::vector<std::uint32_t, base::BigAllocator<std::uint32_t>>;

// A selected vertex as its index: the item of the vertex sample's selection.
std::uint32_t vertex_index(std::uint64_t index) { return static_cast<std::uint32_t>(index); }

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
IndexList select_vertices(const reduce::PointList& points, std::uint64_t count,
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
  return selection;
}

// The surface sample of `mesh`, with `face_normals` when its faces store normals, or
// `corners` when its vertices do.
SampleOutcome draw_from_mesh(const mesh_io::Mesh& mesh, std::span<const base::Point3> face_normals,
                             std::span<const FaceCorners> corners, std::uint64_t count,
                             const SampleOptions& options, std::span<base::Point3> positions,
                             std::span<base::Point3> normals, const Viewer* viewer) {
  const std::size_t face_count = mesh.face_count();
  if (face_count == 0) return std::uint64_t{0};
  const std::uint64_t drawn = options.method == SampleMethod::Surface ? count : options.candidates;
  const parallel::SequentialPasses small(face_count < parallel::SMALL_PASS_ITEMS &&
                                         drawn < parallel::SMALL_PASS_ITEMS);
  AreaList cumulative;
  double total = cumulative_areas(mesh, cumulative);
  if (!(total > 0.0) || !std::isfinite(total)) return NoArea{};
  // A visible draw keeps the points it finds seen, and needs each point's face for that.
  base::PodVector<std::uint64_t> own_faces;
  const auto draw = [&](const SurfaceOutput& out) -> std::optional<NoVisibleSurface> {
    if (viewer == nullptr) {
      draw_surface_points(mesh, cumulative, total, options.normals, options.key, out, face_normals,
                          corners);
      return std::nullopt;
    }
    SurfaceOutput with_faces = out;
    if (with_faces.faces.empty()) {
      own_faces.resize_zeroed(out.positions.size());
      with_faces.faces = std::span<std::uint64_t>(own_faces.data(), own_faces.size());
    }
    const VisibleDraw drawn =
        draw_visible_points(mesh, cumulative, total, options.normals, options.key, with_faces,
                            face_normals, corners, *viewer);
    if (!drawn.complete) {
      return NoVisibleSurface{
          .drawn = drawn.drawn, .seen = drawn.seen, .asked = out.positions.size()};
    }
    // What elimination takes for the area it spreads the points over: the share seen.
    total *= static_cast<double>(drawn.seen) / static_cast<double>(drawn.drawn);
    return std::nullopt;
  };
  if (options.method == SampleMethod::Surface) {
    if (auto refusal = draw({positions, normals, options.face_indices, options.weights})) {
      return *refusal;
    }
    return count;
  }
  // The candidates, drawn as a surface sample of their number, and the ones kept of them.
  static_assert(sizeof(base::Point3) == 3 * sizeof(float), "points are read as float triples");
  const auto size = static_cast<std::size_t>(drawn);
  base::PodVector<base::Point3> points, point_normals;
  base::PodVector<std::uint64_t> point_faces, kept;
  base::PodVector<CornerWeights> point_weights;
  points.resize_zeroed(size);
  point_normals.resize_zeroed(size);
  point_faces.resize_zeroed(options.face_indices.empty() ? 0 : size);
  point_weights.resize_zeroed(options.weights.empty() ? 0 : size);
  if (auto refusal = draw({std::span<base::Point3>(points.data(), size),
                           std::span<base::Point3>(point_normals.data(), size),
                           std::span<std::uint64_t>(point_faces.data(), point_faces.size()),
                           std::span<CornerWeights>(point_weights.data(), point_weights.size())})) {
    return *refusal;
  }
  kept.resize_zeroed(positions.size());
  const std::span<std::uint64_t> chosen(kept.data(), kept.size());
  switch (options.method) {
    case SampleMethod::Farthest: {
      std::size_t start = 0;
      if (size > 0) {
        random::StreamRng starts(options.key, random::SampleStream::FarthestStart);
        start = static_cast<std::size_t>(random::uniform_index(starts, size));
      }
      spread::farthest_point_sample<float>(
          std::span<const float>(reinterpret_cast<const float*>(points.data()), 3 * size), start,
          chosen);
      break;
    }
    case SampleMethod::Poisson:
      spread::eliminate_samples(std::span<const base::Point3>(points.data(), size), total, chosen);
      break;
    case SampleMethod::Vertices:
    case SampleMethod::Surface:  // neither chooses among candidates
      base::raise_fault("a method that chooses no candidates reached their choice");
  }
  parallel::parallel_for(chosen.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const auto c = static_cast<std::size_t>(chosen[i]);
      positions[i] = points[c];
      normals[i] = point_normals[c];
      if (!options.face_indices.empty()) options.face_indices[i] = point_faces[c];
      if (!options.weights.empty()) options.weights[i] = point_weights[c];
    }
  });
  return count;
}

// The vertices that the triangles use, numbered in order of first use (the order in which an
// STL file's merged vertices come), and the triangles renumbered so; empty when that order is
// the mesh's own (every vertex used, each first used in turn), as for STL.
// With `corners`, each vertex's first corner too (3 f + k), which names it to the streams.
struct UsedVertices {
  base::PodVector<base::Point3> vertices;
  base::PodVector<mesh_io::Triangle> triangles;
  base::PodVector<std::uint64_t> first_corners;
};

// Whether every vertex is used and each is first used after the ones before it: then vertex
// `next` is the only new one a corner can name, and none above it.
bool used_in_order(const mesh_io::Mesh& mesh) {
  std::size_t next = 0;
  for (const mesh_io::Triangle& triangle : mesh.triangles) {
    for (const mesh_io::VertexIndex corner : triangle.corners) {
      if (corner > next) return false;
      if (corner == next) ++next;
    }
  }
  return next == mesh.positions.size();
}

UsedVertices number_used_vertices(const mesh_io::Mesh& mesh, bool corners) {
  UsedVertices renumbered;
  if (!corners && (mesh.in_first_use_order || used_in_order(mesh))) return renumbered;
  constexpr mesh_io::VertexIndex UNSEEN = UINT32_MAX;
  std::vector<mesh_io::VertexIndex, base::BigAllocator<mesh_io::VertexIndex>> number(
      mesh.positions.size(), UNSEEN);
  std::size_t used = 0;
  bool in_order = true;
  for (std::size_t f = 0; f < mesh.triangles.size(); ++f) {
    for (std::size_t k = 0; k < 3; ++k) {
      const mesh_io::VertexIndex stored = mesh.triangles[f].corners[k];
      if (number[stored] != UNSEEN) continue;
      in_order = in_order && stored == used;
      number[stored] = static_cast<mesh_io::VertexIndex>(used++);
      if (corners) renumbered.first_corners.push_back(3 * f + k);
    }
  }
  if (in_order && used == mesh.positions.size()) return renumbered;
  renumbered.vertices.resize_zeroed(used);
  for (std::size_t v = 0; v < mesh.positions.size(); ++v) {
    if (number[v] != UNSEEN) renumbered.vertices[number[v]] = mesh.positions[v];
  }
  renumbered.triangles.resize_zeroed(mesh.triangles.size());
  for (std::size_t f = 0; f < mesh.triangles.size(); ++f) {
    for (std::size_t k = 0; k < 3; ++k) {
      renumbered.triangles[f].corners[k] = number[mesh.triangles[f].corners[k]];
    }
  }
  return renumbered;
}

CornerNormals stored_normals(const mesh_io::Mesh& mesh) {
  const mesh_io::Stream* stream = mesh.find(mesh_io::NORMAL_STREAM);
  if (stream == nullptr) return {};
  return {&mesh, stream, stream->items<base::Point3>()};
}

// The stored normals of the faces, when the mesh stores its normals so (STL).
std::span<const base::Point3> face_normals_of(const CornerNormals& stored) {
  if (stored.empty() || stored.stream->domain != mesh_io::Domain::Face) return {};
  return stored.normals;
}

SampleOutcome sample_vertices(const mesh_io::Mesh& mesh, std::uint64_t count,
                              const SampleOptions& options, std::span<base::Point3> positions,
                              std::span<base::Point3> normals, const Viewer* viewer) {
  if (mesh.loose_corners) base::raise_fault("a vertex sample needs the mesh's vertices");
  reduce::PointList points;
  UsedVertices used;
  {
    used = number_used_vertices(mesh, !options.face_indices.empty() || !options.weights.empty());
    const bool own = used.vertices.empty();
    const auto vertices =
        own ? std::span<const base::Point3>(mesh.positions.data(), mesh.positions.size())
            : std::span<const base::Point3>(used.vertices.data(), used.vertices.size());
    const auto triangles =
        own ? std::span<const mesh_io::Triangle>(mesh.triangles.data(), mesh.triangles.size())
            : std::span<const mesh_io::Triangle>(used.triangles.data(), used.triangles.size());
    const parallel::SequentialPasses small(vertices.size() < parallel::SMALL_PASS_ITEMS);
    // Outward vertex normals sum the faces' normals each turned to the side it is seen from.
    base::PodVector<mesh_io::Triangle> oriented;
    if (viewer != nullptr && viewer->outward)
      oriented = oriented_triangles(vertices, triangles, *viewer);
    points = vertex_points_of_corners(
        vertices,
        oriented.size() == 0 ? triangles
                             : std::span<const mesh_io::Triangle>(oriented.data(), oriented.size()),
        stored_normals(mesh), options.normals);
  }
  // A visible sample draws from the vertices seen alone, numbered anew.
  std::vector<std::uint32_t> seen;
  if (viewer != nullptr) {
    seen = visible_points(points, *viewer, false);
    if (seen.empty()) {
      return NoVisibleSurface{.drawn = points.size(), .seen = 0, .asked = count, .vertices = true};
    }
    reduce::PointList kept(seen.size());
    for (std::size_t i = 0; i < seen.size(); ++i) kept[i] = points[seen[i]];
    points = std::move(kept);
  }
  const IndexList selection = select_vertices(points, count, options, positions, normals);
  // Each vertex is named to the streams by its first corner, with all the weight.
  for (std::size_t i = 0; i < selection.size() && !used.first_corners.empty(); ++i) {
    const std::uint64_t corner =
        used.first_corners[seen.empty() ? selection[i] : seen[selection[i]]];
    if (!options.face_indices.empty()) options.face_indices[i] = corner / 3;
    if (!options.weights.empty()) {
      options.weights[i] = {};
      options.weights[i].w[corner % 3] = 1.0f;
    }
  }
  return count;
}

SampleOutcome sample_surface(const mesh_io::Mesh& mesh, std::uint64_t count,
                             const SampleOptions& options, std::span<base::Point3> positions,
                             std::span<base::Point3> normals, const Viewer* viewer) {
  const std::size_t face_count = mesh.face_count();
  // Stored vertex or corner normals are resolved per corner (made unit, or under Auto
  // replaced where they disagree with the face) before the points blend them; stored face
  // normals go to each face's points. Smooth normals blend the vertex normals that the
  // faces' own normals sum to.
  const CornerNormals stored = stored_normals(mesh);
  const std::span<const base::Point3> face_normals = face_normals_of(stored);
  base::PodVector<FaceCorners> corners;
  if (options.normals == NormalSource::Smooth) {
    if (mesh.loose_corners) base::raise_fault("smooth normals need the mesh's vertices");
    const parallel::SequentialPasses small(face_count < parallel::SMALL_PASS_ITEMS);
    const reduce::PointList vertex_normals = vertex_points_of_corners(
        std::span<const base::Point3>(mesh.positions.data(), mesh.positions.size()),
        std::span<const mesh_io::Triangle>(mesh.triangles.data(), face_count), {},
        NormalSource::Geometry);
    corners.resize_zeroed(face_count);
    parallel::parallel_for(face_count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t f = begin; f < end; ++f) {
        for (std::size_t k = 0; k < 3; ++k) {
          corners[f].normals[k] = vertex_normals[mesh.triangles[f].corners[k]].normal;
        }
      }
    });
  } else if (!stored.empty() && face_normals.empty() && options.normals != NormalSource::Geometry &&
             options.normals != NormalSource::Outward) {
    const parallel::SequentialPasses small(face_count < parallel::SMALL_PASS_ITEMS);
    corners.resize_zeroed(face_count);
    const base::Point3* at = mesh.positions.data();
    parallel::parallel_for(face_count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t f = begin; f < end; ++f) {
        const std::size_t a = mesh.corner(f, 0), b = mesh.corner(f, 1), c = mesh.corner(f, 2);
        for (std::size_t k = 0; k < 3; ++k) {
          corners[f].normals[k] =
              face_normal(stored.of(f, k), at[a], at[b], at[c], options.normals);
        }
      }
    });
  }
  return draw_from_mesh(mesh, face_normals,
                        std::span<const FaceCorners>(corners.data(), corners.size()), count,
                        options, positions, normals, viewer);
}

void check_request(std::uint64_t count, const SampleOptions& options,
                   std::span<base::Point3> positions, std::span<base::Point3> normals) {
  if (positions.size() != count || normals.size() != count ||
      (!options.face_indices.empty() && options.face_indices.size() != count) ||
      (!options.weights.empty() && options.weights.size() != count)) {
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
  if (own.normals == NormalSource::Outward) own.visible = true;
  return own;
}

}  // namespace

std::string no_visible_message(const NoVisibleSurface& refusal, std::uint32_t view_directions) {
  const std::string drawn = refusal.vertices
                                ? "its " + std::to_string(refusal.drawn) + " vertices"
                                : "the " + std::to_string(refusal.drawn) + " points drawn on it";
  const std::string along = " along any of " + std::to_string(view_directions) + " view directions";
  if (refusal.seen == 0) {
    return "the mesh shows no surface from outside: none of " + drawn + " is seen" + along;
  }
  return "the mesh shows too little surface from outside: " + std::to_string(refusal.seen) +
         " of " + drawn + " are seen" + along + ", for " + std::to_string(refusal.asked) +
         " points";
}

bool needs_vertices(const SampleOptions& options) {
  return options.method == SampleMethod::Vertices || options.normals == NormalSource::Smooth;
}

SampleOutcome sample_mesh(const mesh_io::Mesh& mesh, std::uint64_t count,
                          const SampleOptions& asked, std::span<base::Point3> positions,
                          std::span<base::Point3> normals) {
  base::prepare_thread_storage();
  check_request(count, asked, positions, normals);
  SampleOptions options = effective(asked);
  for (CarriedStream& stream : options.carried) stream.values.reset();
  if (options.colors != nullptr) {
    options.colors->stored = false;
    options.colors->textures.clear();
  }
  if (mesh.face_count() == 0) return std::uint64_t{0};
  // Carrying needs each point's face and weights: kept here when the caller asks for neither.
  base::PodVector<std::uint64_t> own_faces;
  base::PodVector<CornerWeights> own_weights;
  const bool carries = !options.carried.empty() || options.colors != nullptr;
  if (carries && options.face_indices.empty()) {
    own_faces.resize_zeroed(count);
    options.face_indices = std::span<std::uint64_t>(own_faces.data(), own_faces.size());
  }
  if (carries && options.weights.empty()) {
    own_weights.resize_zeroed(count);
    options.weights = std::span<CornerWeights>(own_weights.data(), own_weights.size());
  }
  std::optional<Viewer> viewer;
  if (options.visible) {
    viewer.emplace(mesh, options.view_directions, options.normals == NormalSource::Outward);
  }
  const Viewer* seen_from = viewer.has_value() ? &*viewer : nullptr;
  SampleOutcome outcome = options.method == SampleMethod::Vertices
                              ? sample_vertices(mesh, count, options, positions, normals, seen_from)
                              : sample_surface(mesh, count, options, positions, normals, seen_from);
  viewer.reset();
  if (!std::holds_alternative<std::uint64_t>(outcome)) return outcome;
  for (CarriedStream& carried : options.carried) {
    const mesh_io::Stream* stream = mesh.find(carried.name);
    if (stream == nullptr) continue;
    mesh_io::Stream& values = carried.values.emplace();
    values.name = stream->name;
    values.element = stream->element;
    values.width = stream->width;
    values.bytes.resize_zeroed(count * stream->item_bytes());
    carry_stream(mesh, *stream, options.face_indices, options.weights,
                 std::span<std::byte>(values.bytes.data(), values.bytes.size()));
  }
  if (options.colors != nullptr) {
    color_points(mesh, options.face_indices, options.weights, *options.colors);
  }
  return outcome;
}

namespace {

// How a model is read for a sample with `options`.
formats::ReadOptions reading_for(stl::StlDialect dialect, const SampleOptions& options) {
  return {.dialect = dialect, .loose_corners = !needs_vertices(options)};
}

// The sample of a mesh as read, with its textures' files read through `side_files`.
SampleOutcome sample_read(mesh_io::ReadResult<mesh_io::Mesh>& mesh, std::uint64_t count,
                          const SampleOptions& options, std::span<base::Point3> positions,
                          std::span<base::Point3> normals, mesh_io::SideFiles& side_files) {
  if (!mesh.ok()) return std::move(mesh.error());
  SampleOutcome outcome = sample_mesh(mesh.value(), count, options, positions, normals);
  if (options.colors != nullptr && !options.colors->textures.empty()) {
    read_textures(side_files, options.colors->textures);
  }
  return outcome;
}

}  // namespace

SampleOutcome sample_file(const mesh_io::PathText& path, std::string_view format,
                          stl::StlDialect dialect, std::uint64_t count,
                          const SampleOptions& options, std::span<base::Point3> positions,
                          std::span<base::Point3> normals) {
  base::prepare_thread_storage();
  auto mesh = formats::read_mesh_file(path, format, reading_for(dialect, options));
  mesh_io::FolderSideFiles side_files(path);
  return sample_read(mesh, count, options, positions, normals, side_files);
}

SampleOutcome sample_bytes(std::span<const std::byte> bytes, std::string_view format,
                           stl::StlDialect dialect, std::uint64_t count,
                           const SampleOptions& options, std::span<base::Point3> positions,
                           std::span<base::Point3> normals, mesh_io::SideFiles& side_files) {
  base::prepare_thread_storage();
  auto mesh = formats::read_mesh_bytes(bytes, format, reading_for(dialect, options), side_files);
  return sample_read(mesh, count, options, positions, normals, side_files);
}

}  // namespace vertisift::sample
