#include "sample/surface_sampling.h"

#include <algorithm>
#include <cmath>

#include "base/fault.h"
#include "parallel/thread_pool.h"
#include "random/uniform.h"

namespace vertisift::sample {
namespace {

// The weights of a surface point's three corners.
struct Weights {
  double a, b, c;
};
inline Weights barycentric_weights(double r1, double r2) {
  const double root = std::sqrt(r1);
  return {1.0 - root, root * (1.0 - r2), root * r2};
}

// The point of the triangle (a, b, c) with weights `w`, rounded once.
inline base::Point3 point_at(const base::Point3& a, const base::Point3& b, const base::Point3& c,
                             const Weights& w) {
  return {static_cast<float>((w.a * a.x + w.b * b.x) + w.c * c.x),
          static_cast<float>((w.a * a.y + w.b * b.y) + w.c * c.y),
          static_cast<float>((w.a * a.z + w.b * b.z) + w.c * c.z)};
}

inline std::size_t block_count(std::size_t items, std::size_t block) {
  return items / block + (items % block != 0 ? 1 : 0);
}

// A mesh whose triangles index its positions. The accesses hold the tables' addresses
// themselves, so that no store of the loops can make the compiler load them again.
struct IndexedAccess {
  const base::Point3* positions;
  const mesh_io::Triangle* triangles;
  std::size_t faces;

  explicit IndexedAccess(const mesh_io::Mesh& mesh)
      : positions(mesh.positions.data()),
        triangles(mesh.triangles.data()),
        faces(mesh.triangles.size()) {}
  std::size_t size() const { return faces; }
  const base::Point3& corner(std::size_t f, std::size_t k) const {
    return positions[triangles[f].corners[k]];
  }
  void prefetch(std::size_t f) const { __builtin_prefetch(&triangles[f]); }
  // Sequential triangles are prefetched by the hardware well enough.
  void read_ahead(std::size_t) const {}
};

// A mesh of loose corners: triangle f is positions 3 f ... 3 f + 2.
struct LooseAccess {
  const base::Point3* positions;
  std::size_t faces;

  explicit LooseAccess(const mesh_io::Mesh& mesh)
      : positions(mesh.positions.data()), faces(mesh.positions.size() / 3) {}
  std::size_t size() const { return faces; }
  const base::Point3& corner(std::size_t f, std::size_t k) const { return positions[3 * f + k]; }
  void prefetch(std::size_t f) const {
    // 36 bytes, which may straddle two cache lines: a prefetch of the first and the last.
    __builtin_prefetch(&positions[3 * f]);
    __builtin_prefetch(&positions[3 * f + 2]);
  }
  // A pass in face order starts loading the corners of the face READ_AHEAD faces on (the
  // last face's near the end): the hardware's own prefetch falls behind on 36-byte records.
  void read_ahead(std::size_t f) const {
    __builtin_prefetch(&positions[3 * std::min(f + READ_AHEAD, faces - 1)]);
  }
  static constexpr std::size_t READ_AHEAD = 32;
};

// The body for either access, chosen once per mesh.
template <class Body>
decltype(auto) with_access(const mesh_io::Mesh& mesh, Body&& body) {
  if (mesh.loose_corners) return body(LooseAccess(mesh));
  return body(IndexedAccess(mesh));
}

}  // namespace

// One body each for both accesses (instantiated through with_access).
template <class Faces>
double cumulative_areas_of(const Faces& faces, AreaList& cumulative);
template <class Faces>
void draw_points_of(const Faces& faces, std::span<const double> cumulative, double total,
                    NormalSource source, const random::SampleKey& key, const SurfaceOutput& out,
                    std::span<const base::Point3> face_normals,
                    std::span<const FaceCorners> corners, std::uint64_t first_index);

double triangle_area(const base::Point3& a, const base::Point3& b, const base::Point3& c) {
  const EdgeCross n = edge_cross(a, b, c);
  return 0.5 * std::sqrt((n.x * n.x + n.y * n.y) + n.z * n.z);
}

double cumulative_areas(const mesh_io::Mesh& mesh, AreaList& cumulative) {
  return with_access(mesh,
                     [&](const auto& faces) { return cumulative_areas_of(faces, cumulative); });
}

template <class Faces>
double cumulative_areas_of(const Faces& faces, AreaList& cumulative) {
  cumulative.resize(faces.size());
  const std::size_t blocks = block_count(faces.size(), SURFACE_BLOCK);
  std::vector<double> block_totals(blocks);
  // Each block sums its own faces from zero, then gets the total of the blocks before it
  // added: the same additions in the same order for every pool size.
  parallel::parallel_for(blocks, [&](std::size_t first, std::size_t last) {
    for (std::size_t b = first; b < last; ++b) {
      double running = 0.0;
      const std::size_t end = std::min(faces.size(), (b + 1) * SURFACE_BLOCK);
      for (std::size_t f = b * SURFACE_BLOCK; f < end; ++f) {
        faces.read_ahead(f);
        const double area =
            triangle_area(faces.corner(f, 0), faces.corner(f, 1), faces.corner(f, 2));
        // NaN fails the comparison, so it counts as 0 like infinity and degenerate faces.
        if (area > 0.0 && area < INFINITY) running += area;
        cumulative[f] = running;
      }
      block_totals[b] = running;
    }
  });
  double total = 0.0;
  for (double& block_total : block_totals) {
    const double offset = total;
    total += block_total;
    block_total = offset;  // now the sum of the blocks before this one
  }
  parallel::parallel_for(blocks, [&](std::size_t first, std::size_t last) {
    for (std::size_t b = first; b < last; ++b) {
      const std::size_t end = std::min(faces.size(), (b + 1) * SURFACE_BLOCK);
      for (std::size_t f = b * SURFACE_BLOCK; f < end; ++f) cumulative[f] += block_totals[b];
    }
  });
  return total;
}

std::size_t pick_face(std::span<const double> cumulative, double target) {
  auto at = std::upper_bound(cumulative.begin(), cumulative.end(), target);
  if (at == cumulative.end()) [[unlikely]] {
    // The first face that reaches the total is the last one with an area of its own.
    at = std::lower_bound(cumulative.begin(), cumulative.end(), cumulative.back());
  }
  return static_cast<std::size_t>(at - cumulative.begin());
}

FacePicker::FacePicker(std::span<const double> cumulative, double total, std::uint64_t draws)
    : cumulative_(cumulative) {
  if (cumulative.empty() || draws < cumulative.size() / GUIDE_MIN_SHARE) return;
  const std::size_t buckets =
      static_cast<std::size_t>(std::min<std::uint64_t>(draws, cumulative.size()));
  bucket_width_ = total / static_cast<double>(buckets);
  guide_.resize(buckets + 1);
  // Each range of buckets finds its first face by search and walks on from there.
  parallel::parallel_for(buckets + 1, [&](std::size_t first, std::size_t last) {
    std::size_t face = pick_face(cumulative, static_cast<double>(first) * bucket_width_);
    for (std::size_t b = first; b < last; ++b) {
      const double start = static_cast<double>(b) * bucket_width_;
      while (face + 1 < cumulative.size() && cumulative[face] <= start) ++face;
      guide_[b] = face;
    }
  });
}

std::size_t FacePicker::bucket_of(double target) const {
  const double scaled = target / bucket_width_;
  return scaled < static_cast<double>(guide_.size() - 1) ? static_cast<std::size_t>(scaled)
                                                         : guide_.size() - 2;
}

void FacePicker::prefetch_guide(double target) const {
  if (!guide_.empty()) __builtin_prefetch(&guide_[bucket_of(target)]);
}

void FacePicker::prefetch_areas(double target) const {
  if (!guide_.empty()) __builtin_prefetch(&cumulative_[guide_[bucket_of(target)]]);
}

std::size_t FacePicker::pick(double target) const {
  if (guide_.empty()) return pick_face(cumulative_, target);
  const std::size_t bucket = bucket_of(target);
  const std::size_t low = guide_[bucket];
  const std::size_t high = guide_[bucket + 1];
  const auto at =
      std::upper_bound(cumulative_.begin() + static_cast<std::ptrdiff_t>(low),
                       cumulative_.begin() + static_cast<std::ptrdiff_t>(high + 1), target);
  const auto face = static_cast<std::size_t>(at - cumulative_.begin());
  // The answer is right when it passes the target and the face before it does not.
  if (face <= high && cumulative_[face] > target && (face == 0 || cumulative_[face - 1] <= target))
      [[likely]] {
    return face;
  }
  return pick_face(cumulative_, target);
}

base::Point3 point_in_triangle(const base::Point3& a, const base::Point3& b, const base::Point3& c,
                               double r1, double r2) {
  return point_at(a, b, c, barycentric_weights(r1, r2));
}

void draw_surface_points(const mesh_io::Mesh& mesh, std::span<const double> cumulative,
                         double total, NormalSource source, const random::SampleKey& key,
                         const SurfaceOutput& out, std::span<const base::Point3> face_normals,
                         std::span<const FaceCorners> corners, std::uint64_t first_index) {
  if (first_index % 4 != 0) base::raise_fault("surface points drawn from an index not of a block");
  with_access(mesh, [&](const auto& faces) {
    draw_points_of(faces, cumulative, total, source, key, out, face_normals, corners, first_index);
  });
}

template <class Faces>
void draw_points_of(const Faces& faces, std::span<const double> cumulative, double total,
                    NormalSource source, const random::SampleKey& key, const SurfaceOutput& out,
                    std::span<const base::Point3> face_normals,
                    std::span<const FaceCorners> corners, std::uint64_t first_index) {
  // Points go in batches of DRAW_BATCH (whole blocks of four), each batch in stages: every
  // stage starts the memory loads the next one needs for all its points, so the cache misses
  // of a batch (guide, cumulative areas, face record) overlap instead of following each other.
  constexpr std::size_t POINTS_PER_BLOCK = 4;
  constexpr std::size_t DRAW_BATCH = 64;
  const std::size_t count = out.positions.size();
  const FacePicker picker(cumulative, total, count);
  parallel::parallel_for(block_count(count, DRAW_BATCH), [&](std::size_t first, std::size_t last) {
    double targets[DRAW_BATCH];
    std::uint32_t draws[DRAW_BATCH][2];
    std::size_t picked[DRAW_BATCH];
    for (std::size_t batch = first; batch < last; ++batch) {
      const std::size_t begin = batch * DRAW_BATCH;
      const std::size_t size = std::min(count - begin, DRAW_BATCH);
      for (std::size_t k = 0; k < size; k += POINTS_PER_BLOCK) {
        const auto words = random::stream_block(key, random::SampleStream::SurfacePoints,
                                                (first_index + begin + k) / POINTS_PER_BLOCK);
        for (std::size_t j = 0; j < POINTS_PER_BLOCK && k + j < size; ++j) {
          const std::uint32_t* draw = words.data() + 4 * j;
          targets[k + j] = random::unit_double((std::uint64_t{draw[1]} << 32) | draw[0]) * total;
          draws[k + j][0] = draw[2];
          draws[k + j][1] = draw[3];
          picker.prefetch_guide(targets[k + j]);
        }
      }
      for (std::size_t k = 0; k < size; ++k) picker.prefetch_areas(targets[k]);
      for (std::size_t k = 0; k < size; ++k) {
        picked[k] = picker.pick(targets[k]);
        faces.prefetch(picked[k]);
        if (!face_normals.empty()) __builtin_prefetch(&face_normals[picked[k]]);
      }
      for (std::size_t k = 0; k < size; ++k) {
        const std::size_t f = picked[k];
        // Midpoints of 2^32 equal steps: uniform in (0, 1) and never exactly 0 or 1.
        const double r1 = (draws[k][0] + 0.5) * 0x1.0p-32;
        const double r2 = (draws[k][1] + 0.5) * 0x1.0p-32;
        const base::Point3& va = faces.corner(f, 0);
        const base::Point3& vb = faces.corner(f, 1);
        const base::Point3& vc = faces.corner(f, 2);
        const Weights w = barycentric_weights(r1, r2);
        out.positions[begin + k] = point_at(va, vb, vc, w);
        if (!out.faces.empty()) out.faces[begin + k] = f;
        if (!out.weights.empty()) {
          out.weights[begin + k] = {
              {static_cast<float>(w.a), static_cast<float>(w.b), static_cast<float>(w.c)}};
        }
        if (corners.empty()) {
          const base::Point3 stored =
              face_normals.empty() ? base::Point3{0.0f, 0.0f, 0.0f} : face_normals[f];
          out.normals[begin + k] = face_normal(stored, va, vb, vc, source);
        } else {
          const base::Point3* n = corners[f].normals;
          out.normals[begin + k] = unit_or_zero((w.a * n[0].x + w.b * n[1].x) + w.c * n[2].x,
                                                (w.a * n[0].y + w.b * n[1].y) + w.c * n[2].y,
                                                (w.a * n[0].z + w.b * n[1].z) + w.c * n[2].z);
        }
      }
    }
  });
}

}  // namespace vertisift::sample
