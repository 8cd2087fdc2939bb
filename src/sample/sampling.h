// The sampling driver behind the tools' sample(): exactly `count` points of a mesh file with
// unit normals, written into storage the caller provides, as a pure function of the file,
// the count, the options and the key.
//
// "vertices" is the reduction of reduce_stl_points (bitwise vertex merge, the same grid, one
// uniformly chosen vertex per occupied cell, then shuffle and cut, or top up), made
// independent of the pool's size and of hash layouts: vertices are numbered in order of first
// occurrence, normals summed in face order, cells visited in key order, and every draw taken
// from the key's streams in that order. "surface" draws points uniformly over the area (see
// surface_sampling.h) and merges no vertices. "farthest" and "poisson" draw `candidates`
// surface points so, then keep `count` of them spread evenly (see spread/): farthest-point
// sampling from a candidate the key picks, or sample elimination.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "base/point3.h"
#include "formats/mesh_file.h"
#include "mesh_io/mesh.h"
#include "mesh_io/read_error.h"
#include "mesh_io/side_files.h"
#include "random/seeded_rng.h"
#include "sample/face_normals.h"
#include "sample/point_colors.h"
#include "sample/surface_sampling.h"
#include "stl/dialect.h"

namespace vertisift::sample {

enum class SampleMethod { Vertices, Surface, Farthest, Poisson };

// A stream of the mesh carried to the points, asked for by `name`. After a draw of n points,
// `values` is the mesh's stream of that name with one item per point (its domain Vertex: the
// points are the cloud's vertices), carried by carry.h; none when the mesh has no such
// stream, or no faces.
struct CarriedStream {
  std::string_view name;
  std::optional<mesh_io::Stream> values;
};

// The view directions of a visible sample when none are given: neighbours about 25° apart, so
// a point is found seen through any opening wider than that, and a hidden point costs 64 rays.
inline constexpr std::uint32_t DEFAULT_VIEW_DIRECTIONS = 64;

struct SampleOptions {
  SampleMethod method = SampleMethod::Vertices;
  NormalSource normals = NormalSource::Auto;  // Smooth under Vertices is Geometry
  bool distinct = false;  // vertices only: top up with vertices not chosen yet while any remain
  std::uint64_t candidates = 0;  // Farthest and Poisson: the points they choose from, >= count
  random::SampleKey key{};
  // Each point's face is written here when it is not empty (`count` items): its index among
  // the triangles in file order, polygons fanned; and, when `weights` is not empty, the
  // weights of that face's corners. A vertex names the first corner that uses it, with the
  // weight 1: so carry.h carries any stream to the points of every method.
  std::span<std::uint64_t> face_indices;
  std::span<CornerWeights> weights;
  // The streams to carry to the points, whichever of the above are asked for.
  std::span<CarriedStream> carried;
  // Only the surface seen from outside (rays/visibility.h): the surface methods draw their
  // points, or candidates, uniformly over the part of the surface that a ray along one of
  // `view_directions` directions leaves without hitting the mesh; "vertices" takes the
  // vertices seen so. NormalSource::Outward implies it.
  bool visible = false;
  std::uint32_t view_directions = DEFAULT_VIEW_DIRECTIONS;
  // When set, the points' colours (point_colors.h), its `rgb` holding `count` items; for a
  // file, with the bytes of the textures they need, read beside it.
  PointColors* colors = nullptr;
};

// Whether the options need the mesh's vertices shared between its faces (the vertex sample,
// smooth normals), or take its faces alone: STL is then read without merging its corners.
bool needs_vertices(const SampleOptions& options);

inline constexpr const char* NO_AREA_MESSAGE =
    "the mesh has no surface to sample: its total area is zero or not finite";

// A surface sample asked of a mesh without area (NO_AREA_MESSAGE).
struct NoArea {};

// A visible sample of a mesh that shows too little of its surface from outside: of `drawn`
// points on it (or of its vertices), `seen` were seen, fewer than asked for.
struct NoVisibleSurface {
  std::uint64_t drawn = 0;
  std::uint64_t seen = 0;
  std::uint64_t asked = 0;
  bool vertices = false;  // of the vertices, not drawn points
};

// Its message, one line: "the mesh shows no surface from outside: ...".
std::string no_visible_message(const NoVisibleSurface& refusal, std::uint32_t view_directions);

// The number of points written (`count`, or 0 for a mesh without faces), or why none could
// be: the reader's ReadError, unchanged, NoArea or NoVisibleSurface.
using SampleOutcome = std::variant<std::uint64_t, mesh_io::ReadError, NoArea, NoVisibleSurface>;

// `positions` and `normals` hold `count` items each.

// The sample of the file at `path` in the format called `format` (formats/registry.h), read
// with `dialect` if it is STL: sample_mesh of what the format's reader delivers.
SampleOutcome sample_file(const mesh_io::PathText& path, std::string_view format,
                          stl::StlDialect dialect, std::uint64_t count,
                          const SampleOptions& options, std::span<base::Point3> positions,
                          std::span<base::Point3> normals);

// The same of the model held in `bytes` (formats::read_mesh_bytes), its side files and its
// textures' files read through `side_files`: the sample of a regular file of those bytes whose
// side files are those `side_files` gives. Nothing is drawn once the side files have stopped
// the reading (SideFiles::stopped): the outcome is then the reading's error.
SampleOutcome sample_bytes(std::span<const std::byte> bytes, std::string_view format,
                           stl::StlDialect dialect, std::uint64_t count,
                           const SampleOptions& options, std::span<base::Point3> positions,
                           std::span<base::Point3> normals, mesh_io::SideFiles& side_files);

// The sample of a mesh already read (a file's, or one handed in from memory). "vertices"
// takes the vertices that the triangles use, numbered in order of first use, each vertex
// apart (only STL's are merged, by its reader); "surface" the triangles as they are. Stored
// normals are the mesh's normal stream: a vertex sums its corners' contributions
// (CornerNormals), a surface point blends its face's corner normals, or takes its face's
// stored one. Without stored normals, the same as an STL file whose stored normals are all
// zero. The mesh's indices are in range.
SampleOutcome sample_mesh(const mesh_io::Mesh& mesh, std::uint64_t count,
                          const SampleOptions& options, std::span<base::Point3> positions,
                          std::span<base::Point3> normals);

}  // namespace vertisift::sample
