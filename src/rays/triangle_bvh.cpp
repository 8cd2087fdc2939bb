#include "rays/triangle_bvh.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "parallel/thread_pool.h"

namespace vertisift::rays {
namespace {

using Node = TriangleBvh::Node;

// Four floats at once (x, y, z and a lane the boxes do not use), in the compiler's vector
// type: the bounds of the build are grown with one minimum and one maximum each.
using Vec4 = float __attribute__((vector_size(16)));

inline Vec4 min4(Vec4 a, Vec4 b) { return a < b ? a : b; }
inline Vec4 max4(Vec4 a, Vec4 b) { return a > b ? a : b; }

// A triangle while the tree is built: its box, and in the fourth lanes its index in the mesh,
// the high and the low 16 bits each as a float (whole numbers, exact, never denormal). The
// splits sort by the box's centre. 32 bytes, which the partitions move.
struct PrimRef {
  Vec4 lo;
  Vec4 hi;
  // Halved before they are added, so that no finite centre overflows.
  float centre(int axis) const { return 0.5f * lo[axis] + 0.5f * hi[axis]; }
  Vec4 centres() const { return lo * 0.5f + hi * 0.5f; }
  std::uint32_t face() const {
    return (static_cast<std::uint32_t>(lo[3]) << 16) | static_cast<std::uint32_t>(hi[3]);
  }
};

struct Box {
  Vec4 lo = {INFINITY, INFINITY, INFINITY, INFINITY};
  Vec4 hi = {-INFINITY, -INFINITY, -INFINITY, -INFINITY};
  void grow(Vec4 low, Vec4 high) {
    lo = min4(lo, low);
    hi = max4(hi, high);
  }
  void grow(const Box& other) { grow(other.lo, other.hi); }
  void grow_point(Vec4 point) { grow(point, point); }
  // Half the surface area, which the heuristic compares; 0 for an empty box.
  float half_area() const {
    const Vec4 d = hi - lo;
    if (!(d[0] >= 0.0f)) return 0.0f;
    return d[0] * d[1] + d[1] * d[2] + d[2] * d[0];
  }
  int widest() const {
    const Vec4 d = hi - lo;
    return d[0] >= d[1] && d[0] >= d[2] ? 0 : (d[1] >= d[2] ? 1 : 2);
  }
};

// What a range of triangles is split by: the boxes of its triangles and of their centres.
struct RangeBounds {
  Box boxes;
  Box centres;
  void add(const PrimRef& prim) {
    boxes.grow(prim.lo, prim.hi);
    centres.grow_point(prim.centres());
  }
  void add(const RangeBounds& other) {
    boxes.grow(other.boxes);
    centres.grow(other.centres);
  }
};

RangeBounds bounds_of(const PrimRef* prims, std::size_t begin, std::size_t end) {
  RangeBounds bounds;
  for (std::size_t i = begin; i < end; ++i) bounds.add(prims[i]);
  return bounds;
}

// The bins of a range's centres along one axis: each bin's box and count (the centres of the
// two sides are found while the range is partitioned).
struct Bins {
  std::array<Box, TriangleBvh::SAH_BINS> boxes{};
  std::array<std::size_t, TriangleBvh::SAH_BINS> counts{};
  void add(const Bins& other) {
    for (std::size_t b = 0; b < boxes.size(); ++b) {
      boxes[b].grow(other.boxes[b]);
      counts[b] += other.counts[b];
    }
  }
};

// Maps a centre to its bin along `axis` of the centres' box.
struct Binning {
  int axis;
  float low;
  float scale;
  Binning(const Box& centres, int on_axis) : axis(on_axis), low(centres.lo[on_axis]) {
    const float extent = centres.hi[on_axis] - centres.lo[on_axis];
    scale = extent > 0.0f ? static_cast<float>(TriangleBvh::SAH_BINS) * (1.0f - 0x1.0p-20f) / extent
                          : 0.0f;
  }
  std::size_t bin(const PrimRef& prim) const {
    const float at = (prim.centre(axis) - low) * scale;
    // Below the first bin, and NaN (coordinates whose differences overflow), go to the first.
    if (!(at > 0.0f)) return 0;
    constexpr std::size_t LAST = TriangleBvh::SAH_BINS - 1;
    return at < static_cast<float>(LAST) ? static_cast<std::size_t>(at) : LAST;
  }
};

void bin_range(const PrimRef* prims, std::size_t begin, std::size_t end, const Binning& binning,
               Bins& bins) {
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t b = binning.bin(prims[i]);
    bins.boxes[b].grow(prims[i].lo, prims[i].hi);
    ++bins.counts[b];
  }
}

// A range split in two: where the right part starts, and each part's bounds.
struct Split {
  std::size_t middle;
  RangeBounds left, right;
};

// The split of prims[begin, end) by halves of its order along the widest axis of its centres:
// for ranges whose centres coincide, and below SAH_DEPTH.
Split split_in_half(PrimRef* prims, std::size_t begin, std::size_t end, const Box& centres) {
  const int axis = centres.widest();
  const std::size_t middle = begin + (end - begin) / 2;
  std::nth_element(prims + begin, prims + middle, prims + end,
                   [axis](const PrimRef& a, const PrimRef& b) {
                     const float ca = a.centre(axis), cb = b.centre(axis);
                     return ca < cb || (ca == cb && a.face() < b.face());
                   });
  return {middle, bounds_of(prims, begin, middle), bounds_of(prims, middle, end)};
}

// Partitions prims[begin, end) into those `left` takes and the others, in the order of a
// two-ended scan (the same for any run), and finds the centres' box of each side on the way.
template <class Left>
Split partition_range(PrimRef* prims, std::size_t begin, std::size_t end, Left&& left) {
  Split split{};
  std::size_t i = begin, j = end;
  while (true) {
    while (i < j && left(prims[i])) split.left.centres.grow_point(prims[i++].centres());
    while (i < j && !left(prims[j - 1])) split.right.centres.grow_point(prims[--j].centres());
    if (i >= j) break;
    std::swap(prims[i], prims[j - 1]);
  }
  split.middle = i;
  return split;
}

// The split of prims[begin, end) (more than a leaf) that the heuristic prefers among the bin
// boundaries, the bins counted by `count_bins`; the range is partitioned so.
template <class CountBins>
Split split_range(PrimRef* prims, std::size_t begin, std::size_t end, const RangeBounds& bounds,
                  std::size_t depth, CountBins&& count_bins) {
  const int axis = bounds.centres.widest();
  if (depth >= TriangleBvh::SAH_DEPTH || !(bounds.centres.hi[axis] > bounds.centres.lo[axis])) {
    return split_in_half(prims, begin, end, bounds.centres);
  }
  const Binning binning(bounds.centres, axis);
  const Bins bins = count_bins(binning);
  // Sweep from the right for each boundary's right side, then from the left.
  constexpr std::size_t BINS = TriangleBvh::SAH_BINS;
  std::array<float, BINS> right_cost{};
  std::array<Box, BINS> right_box{};
  {
    Box box;
    std::size_t count = 0;
    for (std::size_t b = BINS - 1; b > 0; --b) {
      box.grow(bins.boxes[b]);
      count += bins.counts[b];
      right_cost[b] = box.half_area() * static_cast<float>(count);
      right_box[b] = box;
    }
  }
  std::size_t best = 0;  // the first bin of the right side; 0 for none found
  float best_cost = INFINITY;
  Box left_box, best_left;
  {
    std::size_t count = 0;
    for (std::size_t b = 1; b < BINS; ++b) {
      left_box.grow(bins.boxes[b - 1]);
      count += bins.counts[b - 1];
      const std::size_t right = (end - begin) - count;
      if (count == 0 || right == 0) continue;
      const float cost = left_box.half_area() * static_cast<float>(count) + right_cost[b];
      if (cost < best_cost) {
        best_cost = cost;
        best = b;
        best_left = left_box;
      }
    }
  }
  if (best == 0) return split_in_half(prims, begin, end, bounds.centres);
  Split split = partition_range(prims, begin, end,
                                [&](const PrimRef& prim) { return binning.bin(prim) < best; });
  split.left.boxes = best_left;
  split.right.boxes = right_box[best];
  return split;
}

Node node_of(const RangeBounds& bounds, std::size_t begin, std::size_t end, bool leaf) {
  Node node{};
  for (int k = 0; k < 3; ++k) {
    node.lo[k] = bounds.boxes.lo[k];
    node.hi[k] = bounds.boxes.hi[k];
  }
  node.first = leaf ? static_cast<std::uint32_t>(begin) : 0;
  node.count = leaf ? static_cast<std::uint32_t>(end - begin) : 0;
  return node;
}

// Builds the subtree over prims[begin, end) below `node`, its children's pairs appended to
// `nodes` (their indices in it); returns the subtree's depth below `node`.
std::size_t build_below(Node& node, PrimRef* prims, std::size_t begin, std::size_t end,
                        const RangeBounds& bounds, std::size_t depth,
                        base::PodVector<Node>& nodes) {
  if (end - begin <= TriangleBvh::LEAF_SIZE) {
    node = node_of(bounds, begin, end, true);
    return 0;
  }
  const Split split = split_range(prims, begin, end, bounds, depth, [&](const Binning& binning) {
    Bins bins;
    bin_range(prims, begin, end, binning, bins);
    return bins;
  });
  node = node_of(bounds, begin, end, false);
  const std::size_t pair = nodes.size();
  node.first = static_cast<std::uint32_t>(pair);
  nodes.push_back(Node{});
  nodes.push_back(Node{});
  Node left{}, right{};
  const std::size_t left_depth =
      build_below(left, prims, begin, split.middle, split.left, depth + 1, nodes);
  const std::size_t right_depth =
      build_below(right, prims, split.middle, end, split.right, depth + 1, nodes);
  nodes[pair] = left;
  nodes[pair + 1] = right;
  return 1 + std::max(left_depth, right_depth);
}

// A subtree left to a task: the node it fills in the top of the tree, and its range.
struct Subtree {
  std::size_t node;
  std::size_t begin, end;
  std::size_t depth;
  RangeBounds bounds;
};

bool finite(const base::Point3& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

const float* coordinates(const base::Point3& p) { return &p.x; }

// Rounding in the slab test can put a box's far distance a few units in the last place short
// of the true one; widening it by this factor keeps every box a ray crosses.
constexpr float FAR_WIDENING = 1.0f + 0x1.0p-20f;
// The boxes' margin, as a share of the mesh's largest coordinate (and, at each ray, of its
// origin's).
constexpr float BOX_MARGIN = 0x1.0p-19f;

// A ray made ready for the watertight test: the axis its direction is longest along (z), the
// other two (x, y, swapped for a negative z to keep the winding), and the shear that maps the
// direction onto z.
struct PreparedRay {
  base::Point3 origin;
  int kx, ky, kz;
  float sx, sy, sz;
  float t_min;
  // For the boxes: the inverse direction, its zero components made tiny, and where in a
  // node's eight floats each axis's near and far planes are.
  float inverse[3];
  int near_at[3], far_at[3];
  // The origin moved out by the rounding of the triangle test at its distance from zero,
  // towards each box's near and far planes.
  float near_origin[3], far_origin[3];
  bool valid;

  explicit PreparedRay(const Ray& ray) : origin(ray.origin), t_min(ray.t_min) {
    const float* d = coordinates(ray.direction);
    valid = finite(ray.origin) && finite(ray.direction) &&
            (d[0] != 0.0f || d[1] != 0.0f || d[2] != 0.0f) && !std::isnan(ray.t_min) &&
            !std::isnan(ray.t_max);
    kz = std::fabs(d[0]) >= std::fabs(d[1]) && std::fabs(d[0]) >= std::fabs(d[2])
             ? 0
             : (std::fabs(d[1]) >= std::fabs(d[2]) ? 1 : 2);
    kx = (kz + 1) % 3;
    ky = (kx + 1) % 3;
    if (d[kz] < 0.0f) std::swap(kx, ky);
    sx = d[kx] / d[kz];
    sy = d[ky] / d[kz];
    sz = 1.0f / d[kz];
    for (int k = 0; k < 3; ++k) {
      const float component = std::fabs(d[k]) < 1e-30f ? std::copysign(1e-30f, d[k]) : d[k];
      inverse[k] = 1.0f / component;
      near_at[k] = inverse[k] < 0.0f ? k + 4 : k;
      far_at[k] = inverse[k] < 0.0f ? k : k + 4;
    }
    const float* o = coordinates(ray.origin);
    const float margin = std::max({std::fabs(o[0]), std::fabs(o[1]), std::fabs(o[2])}) * BOX_MARGIN;
    for (int k = 0; k < 3; ++k) {
      near_origin[k] = inverse[k] < 0.0f ? o[k] - margin : o[k] + margin;
      far_origin[k] = inverse[k] < 0.0f ? o[k] + margin : o[k] - margin;
    }
  }
};

// The watertight test against (a, b, c); updates `hit` (but its face) when it hits before
// hit.t, and says whether it did.
inline bool test_triangle(const PreparedRay& ray, const TriangleBvh::Triangle& triangle, Hit& hit) {
  const float* o = coordinates(ray.origin);
  const float* pa = coordinates(triangle.a);
  const float* pb = coordinates(triangle.b);
  const float* pc = coordinates(triangle.c);
  const float az = pa[ray.kz] - o[ray.kz], bz = pb[ray.kz] - o[ray.kz], cz = pc[ray.kz] - o[ray.kz];
  const float ax = (pa[ray.kx] - o[ray.kx]) - ray.sx * az;
  const float ay = (pa[ray.ky] - o[ray.ky]) - ray.sy * az;
  const float bx = (pb[ray.kx] - o[ray.kx]) - ray.sx * bz;
  const float by = (pb[ray.ky] - o[ray.ky]) - ray.sy * bz;
  const float cx = (pc[ray.kx] - o[ray.kx]) - ray.sx * cz;
  const float cy = (pc[ray.ky] - o[ray.ky]) - ray.sy * cz;
  float u = cx * by - cy * bx;
  float v = ax * cy - ay * cx;
  float w = bx * ay - by * ax;
  if (u == 0.0f || v == 0.0f || w == 0.0f) [[unlikely]] {
    u = static_cast<float>(static_cast<double>(cx) * by - static_cast<double>(cy) * bx);
    v = static_cast<float>(static_cast<double>(ax) * cy - static_cast<double>(ay) * cx);
    w = static_cast<float>(static_cast<double>(bx) * ay - static_cast<double>(by) * ax);
  }
  if ((u < 0.0f || v < 0.0f || w < 0.0f) && (u > 0.0f || v > 0.0f || w > 0.0f)) return false;
  const float det = u + v + w;
  if (det == 0.0f) return false;
  const float t_scaled = (u * (ray.sz * az) + v * (ray.sz * bz)) + w * (ray.sz * cz);
  const float reciprocal = 1.0f / det;
  const float t = t_scaled * reciprocal;
  if (!(t > ray.t_min && t < hit.t)) return false;
  hit.t = t;
  hit.w[0] = u * reciprocal;
  hit.w[1] = v * reciprocal;
  hit.w[2] = w * reciprocal;
  return true;
}

// The entry distance of the ray into the node's box, or infinity when it misses the box
// before `t_max`.
inline float enter_box(const PreparedRay& ray, const Node& node, float t_max) {
  static_assert(sizeof(Node) == 8 * sizeof(float), "a node is read as eight floats");
  const float* planes = reinterpret_cast<const float*>(&node);
  const float* o = ray.near_origin;
  const float* p = ray.far_origin;
  const float x0 = (planes[ray.near_at[0]] - o[0]) * ray.inverse[0];
  const float y0 = (planes[ray.near_at[1]] - o[1]) * ray.inverse[1];
  const float z0 = (planes[ray.near_at[2]] - o[2]) * ray.inverse[2];
  const float x1 = (planes[ray.far_at[0]] - p[0]) * ray.inverse[0];
  const float y1 = (planes[ray.far_at[1]] - p[1]) * ray.inverse[1];
  const float z1 = (planes[ray.far_at[2]] - p[2]) * ray.inverse[2];
  const float t_near = std::max(std::max(x0, y0), std::max(z0, ray.t_min));
  const float t_far = std::min(std::min(x1, y1), z1) * FAR_WIDENING;
  return t_near <= std::min(t_far, t_max) ? t_near : INFINITY;
}

}  // namespace

TriangleBvh::TriangleBvh(const TriangleMesh& mesh) {
  const std::size_t faces = mesh.face_count();
  const auto corner = [&](std::size_t f, std::size_t k) -> const base::Point3& {
    return mesh.loose_corners ? mesh.positions[3 * f + k] : mesh.positions[mesh.corners[3 * f + k]];
  };
  // The triangles with finite corners, in mesh order.
  base::PodVector<PrimRef> prims;
  {
    std::vector<std::uint8_t> kept(faces);
    parallel::parallel_for(faces, [&](std::size_t begin, std::size_t end) {
      for (std::size_t f = begin; f < end; ++f) {
        kept[f] = finite(corner(f, 0)) && finite(corner(f, 1)) && finite(corner(f, 2));
      }
    });
    std::size_t count = 0;
    for (std::uint8_t keep : kept) count += keep;
    prims.resize_zeroed(count);
    std::vector<std::uint32_t> kept_faces;
    kept_faces.reserve(count);
    for (std::size_t f = 0; f < faces; ++f) {
      if (kept[f]) kept_faces.push_back(static_cast<std::uint32_t>(f));
    }
    parallel::parallel_for(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        PrimRef& prim = prims[i];
        const std::uint32_t face = kept_faces[i];
        const float* a = coordinates(corner(face, 0));
        const float* b = coordinates(corner(face, 1));
        const float* c = coordinates(corner(face, 2));
        const Vec4 va = {a[0], a[1], a[2], 0.0f};
        const Vec4 vb = {b[0], b[1], b[2], 0.0f};
        const Vec4 vc = {c[0], c[1], c[2], 0.0f};
        prim.lo = min4(min4(va, vb), vc);
        prim.hi = max4(max4(va, vb), vc);
        prim.lo[3] = static_cast<float>(face >> 16);
        prim.hi[3] = static_cast<float>(face & 0xffffu);
      }
    });
  }
  const std::size_t count = prims.size();
  nodes_.push_back(Node{});  // the root
  nodes_.push_back(Node{});  // unused: it keeps each pair of children within 64 bytes
  if (count == 0) {
    nodes_[0].count = 0;
    nodes_[0].first = 0;
    for (int k = 0; k < 3; ++k) nodes_[0].lo[k] = INFINITY, nodes_[0].hi[k] = -INFINITY;
    return;
  }
  PrimRef* data = prims.data();
  const RangeBounds all = parallel::parallel_reduce(
      count, RangeBounds{},
      [&](RangeBounds& bounds, std::size_t begin, std::size_t end) {
        bounds.add(bounds_of(data, begin, end));
      },
      [](RangeBounds& left, RangeBounds&& right) { left.add(right); });

  // The top of the tree, on this thread, down to ranges a task builds alone.
  const std::size_t task_size = std::max<std::size_t>(count / TOP_SPLIT_SHARE, 4096);
  std::vector<Subtree> subtrees;
  std::size_t top_depth = 0;
  {
    struct Pending {
      std::size_t node, begin, end, depth;
      RangeBounds bounds;
    };
    std::vector<Pending> pending{{0, 0, count, 0, all}};
    while (!pending.empty()) {
      const Pending range = pending.back();
      pending.pop_back();
      top_depth = std::max(top_depth, range.depth);
      if (range.end - range.begin <= task_size) {
        subtrees.push_back({range.node, range.begin, range.end, range.depth, range.bounds});
        continue;
      }
      const Split split = split_range(
          data, range.begin, range.end, range.bounds, range.depth, [&](const Binning& binning) {
            return parallel::parallel_reduce(
                range.end - range.begin, Bins{},
                [&](Bins& bins, std::size_t begin, std::size_t end) {
                  bin_range(data, range.begin + begin, range.begin + end, binning, bins);
                },
                [](Bins& left, Bins&& right) { left.add(right); });
          });
      const std::size_t pair = nodes_.size();
      nodes_[range.node] = node_of(range.bounds, range.begin, range.end, false);
      nodes_[range.node].first = static_cast<std::uint32_t>(pair);
      nodes_.push_back(Node{});
      nodes_.push_back(Node{});
      pending.push_back({pair + 1, split.middle, range.end, range.depth + 1, split.right});
      pending.push_back({pair, range.begin, split.middle, range.depth + 1, split.left});
    }
  }
  // The subtrees, a block of nodes each, then joined in their order.
  std::vector<base::PodVector<Node>> blocks(subtrees.size());
  std::vector<Node> roots(subtrees.size());
  std::vector<std::size_t> depths(subtrees.size());
  parallel::run_chunks(
      subtrees.size(),
      [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t s = begin; s < end; ++s) {
          const Subtree& subtree = subtrees[s];
          depths[s] = subtree.depth + build_below(roots[s], data, subtree.begin, subtree.end,
                                                  subtree.bounds, subtree.depth, blocks[s]);
        }
      },
      subtrees.size());
  for (std::size_t s = 0; s < subtrees.size(); ++s) {
    const auto offset = static_cast<std::uint32_t>(nodes_.size());
    Node root = roots[s];
    if (root.count == 0) root.first += offset;
    nodes_[subtrees[s].node] = root;
    Node* appended = nodes_.extend(blocks[s].size());
    for (std::size_t i = 0; i < blocks[s].size(); ++i) {
      appended[i] = blocks[s][i];
      if (appended[i].count == 0) appended[i].first += offset;
    }
    depth_ = std::max(depth_, depths[s]);
    blocks[s] = {};
  }
  depth_ = std::max(depth_, top_depth);
  // Every box widened by a few units in the last place of the mesh's largest coordinate: the
  // triangle test rounds its translated corners to that, and may find a hit just outside the
  // exact box of the triangle; no box may reject such a ray.
  const Vec4 extent = max4(all.boxes.hi, -all.boxes.lo);
  const float margin = std::max({extent[0], extent[1], extent[2]}) * BOX_MARGIN;
  parallel::parallel_for(nodes_.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      for (int k = 0; k < 3; ++k) {
        nodes_[i].lo[k] -= margin;
        nodes_[i].hi[k] += margin;
      }
    }
  });
  // The triangles in the order of the leaves.
  triangles_.resize_zeroed(count);
  parallel::parallel_for(count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint32_t f = data[i].face();
      triangles_[i] = {corner(f, 0), corner(f, 1), corner(f, 2), f};
    }
  });
}

std::size_t TriangleBvh::bytes() const {
  return nodes_.size() * sizeof(Node) + triangles_.size() * sizeof(Triangle);
}

base::Point3 TriangleBvh::lower() const {
  if (triangles_.empty()) return {0.0f, 0.0f, 0.0f};
  return {nodes_[0].lo[0], nodes_[0].lo[1], nodes_[0].lo[2]};
}

base::Point3 TriangleBvh::upper() const {
  if (triangles_.empty()) return {0.0f, 0.0f, 0.0f};
  return {nodes_[0].hi[0], nodes_[0].hi[1], nodes_[0].hi[2]};
}

template <bool ANY>
Hit TriangleBvh::traverse(const Ray& ray, std::uint32_t ignored) const {
  Hit hit;
  const PreparedRay prepared(ray);
  if (!prepared.valid || triangles_.empty() || !(ray.t_max > ray.t_min)) return hit;
  hit.t = ray.t_max;
  std::uint32_t found = NO_FACE;
  // Nodes waiting, with the distance at which the ray enters them: one entered beyond the
  // closest hit so far is passed over.
  struct Waiting {
    std::uint32_t node;
    float t;
  };
  Waiting stack[STACK_DEPTH];
  std::size_t top = 0;
  const Node* nodes = nodes_.data();
  const Triangle* triangles = triangles_.data();
  if (enter_box(prepared, nodes[0], hit.t) == INFINITY) return Hit{};
  std::uint32_t current = 0;
  while (true) {
    const Node& node = nodes[current];
    if (node.count != 0) {
      const std::uint32_t last = node.first + node.count;
      for (std::uint32_t i = node.first; i < last; ++i) {
        if (triangles[i].face == ignored) continue;
        if (test_triangle(prepared, triangles[i], hit)) {
          found = triangles[i].face;
          if constexpr (ANY) {
            hit.face = found;
            return hit;
          }
        }
      }
    } else {
      const std::uint32_t left = node.first;
      const float t_left = enter_box(prepared, nodes[left], hit.t);
      const float t_right = enter_box(prepared, nodes[left + 1], hit.t);
      const bool into_left = t_left != INFINITY;
      const bool into_right = t_right != INFINITY;
      if (into_left && into_right) {
        // The nearer first; the other waits.
        const bool left_first = t_left <= t_right;
        stack[top++] = left_first ? Waiting{left + 1, t_right} : Waiting{left, t_left};
        current = left_first ? left : left + 1;
        continue;
      }
      if (into_left || into_right) {
        current = into_left ? left : left + 1;
        continue;
      }
    }
    do {
      if (top == 0) {
        hit.face = found;
        if (found == NO_FACE) return Hit{};
        return hit;
      }
      --top;
    } while (stack[top].t >= hit.t);
    current = stack[top].node;
  }
}

Hit TriangleBvh::closest(const Ray& ray, std::uint32_t ignored) const {
  return traverse<false>(ray, ignored);
}

bool TriangleBvh::occluded(const Ray& ray, std::uint32_t ignored) const {
  return traverse<true>(ray, ignored).face != NO_FACE;
}

Hit intersect_triangle(const Ray& ray, const TriangleBvh::Triangle& triangle) {
  Hit hit;
  const PreparedRay prepared(ray);
  hit.t = ray.t_max;
  if (prepared.valid && test_triangle(prepared, triangle, hit)) {
    hit.face = triangle.face;
    return hit;
  }
  return Hit{};
}

}  // namespace vertisift::rays
