#include "rays/triangle_bvh.h"

#include <algorithm>
#include <array>
#include <bit>
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

// The tree over data[0, count) into `nodes` (which holds the root and the unused slot): its
// top split on this thread by `split_top(begin, end, bounds, depth)` down to ranges of a task's
// size, then each such range built by a task, `build_subtree(root, begin, end, bounds, depth,
// block)` filling its root and a block of nodes of its own, the blocks joined in the order of
// the ranges. Returns the depth of the tree.
template <class SplitTop, class BuildSubtree>
std::size_t assemble(base::PodVector<Node>& nodes, std::size_t count, const RangeBounds& all,
                     SplitTop&& split_top, BuildSubtree&& build_subtree) {
  const std::size_t task_size = std::max<std::size_t>(count / TriangleBvh::TOP_SPLIT_SHARE, 4096);
  std::vector<Subtree> subtrees;
  std::size_t depth = 0;
  {
    struct Pending {
      std::size_t node, begin, end, depth;
      RangeBounds bounds;
    };
    std::vector<Pending> pending{{0, 0, count, 0, all}};
    while (!pending.empty()) {
      const Pending range = pending.back();
      pending.pop_back();
      depth = std::max(depth, range.depth);
      if (range.end - range.begin <= task_size) {
        subtrees.push_back({range.node, range.begin, range.end, range.depth, range.bounds});
        continue;
      }
      const Split split = split_top(range.begin, range.end, range.bounds, range.depth);
      const std::size_t pair = nodes.size();
      nodes[range.node] = node_of(range.bounds, range.begin, range.end, false);
      nodes[range.node].first = static_cast<std::uint32_t>(pair);
      nodes.push_back(Node{});
      nodes.push_back(Node{});
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
          depths[s] = subtree.depth + build_subtree(roots[s], subtree.begin, subtree.end,
                                                    subtree.bounds, subtree.depth, blocks[s]);
        }
      },
      subtrees.size());
  for (std::size_t s = 0; s < subtrees.size(); ++s) {
    const auto offset = static_cast<std::uint32_t>(nodes.size());
    Node root = roots[s];
    if (root.count == 0) root.first += offset;
    nodes[subtrees[s].node] = root;
    Node* appended = nodes.extend(blocks[s].size());
    for (std::size_t i = 0; i < blocks[s].size(); ++i) {
      appended[i] = blocks[s][i];
      if (appended[i].count == 0) appended[i].first += offset;
    }
    depth = std::max(depth, depths[s]);
    blocks[s] = {};
  }
  return depth;
}

// The tree by the surface area heuristic: the top's bins counted on the pool.
std::size_t build_tree_by_area(base::PodVector<Node>& nodes, PrimRef* data, std::size_t count,
                               const RangeBounds& all) {
  return assemble(
      nodes, count, all,
      [&](std::size_t first, std::size_t last, const RangeBounds& bounds, std::size_t depth) {
        return split_range(data, first, last, bounds, depth, [&](const Binning& binning) {
          return parallel::parallel_reduce(
              last - first, Bins{},
              [&](Bins& bins, std::size_t begin, std::size_t end) {
                bin_range(data, first + begin, first + end, binning, bins);
              },
              [](Bins& left, Bins&& right) { left.add(right); });
        });
      },
      [&](Node& root, std::size_t begin, std::size_t end, const RangeBounds& bounds,
          std::size_t depth, base::PodVector<Node>& block) {
        return build_below(root, data, begin, end, bounds, depth, block);
      });
}

// 10 bits spread to every third bit of 30.
std::uint32_t spread_bits(std::uint32_t v) {
  v &= 0x3ffu;
  v = (v | v << 16) & 0x030000ffu;
  v = (v | v << 8) & 0x0300f00fu;
  v = (v | v << 4) & 0x030c30c3u;
  v = (v | v << 2) & 0x09249249u;
  return v;
}

// The Morton code of a box's centre in the box of the centres from `low` (`scale` the inverse
// of its extent, 0 for none): 10 bits per axis, interleaved (a grid of 2^30 cells; triangles
// that share a cell are split in halves of their order).
std::uint32_t morton_code(Vec4 centre, Vec4 low, Vec4 scale) {
  std::uint32_t code = 0;
  const Vec4 at_all = (centre - low) * scale;
  for (int axis = 0; axis < 3; ++axis) {
    const float at = at_all[axis];
    // NaN (an extent that overflows) and what rounding puts outside go to the ends.
    const float scaled = at > 0.0f ? std::min(at, 1.0f) * 1023.0f : 0.0f;
    code |= spread_bits(static_cast<std::uint32_t>(scaled)) << axis;
  }
  return code;
}

// Where a range of sorted codes splits: at the highest bit in which its first and last differ,
// or in half when they are equal.
std::size_t morton_middle(const std::uint32_t* codes, std::size_t begin, std::size_t end) {
  const std::uint32_t first = codes[begin], last = codes[end - 1];
  if (first == last) return begin + (end - begin) / 2;
  const int bit = 31 - std::countl_zero(first ^ last);
  return static_cast<std::size_t>(
      std::partition_point(codes + begin, codes + end,
                           [bit](std::uint32_t code) { return ((code >> bit) & 1u) == 0; }) -
      codes);
}

// The subtree over triangles[begin, end) (sorted by their `codes`) below `node` by Morton
// splits, its children's pairs appended to `nodes`; returns its depth below `node` and its box.
std::size_t build_morton_below(Node& node, const TriangleBvh::Triangle* triangles,
                               const std::uint32_t* codes, std::size_t begin, std::size_t end,
                               base::PodVector<Node>& nodes, Box& box) {
  if (end - begin <= TriangleBvh::LEAF_SIZE) {
    RangeBounds bounds;
    for (std::size_t i = begin; i < end; ++i) {
      const TriangleBvh::Triangle& t = triangles[i];
      for (const base::Point3* p : {&t.a, &t.b, &t.c}) {
        const Vec4 corner = {p->x, p->y, p->z, 0.0f};
        bounds.boxes.grow_point(corner);
      }
    }
    box = bounds.boxes;
    node = node_of(bounds, begin, end, true);
    return 0;
  }
  const std::size_t middle = morton_middle(codes, begin, end);
  const std::size_t pair = nodes.size();
  nodes.push_back(Node{});
  nodes.push_back(Node{});
  Node left{}, right{};
  Box left_box, right_box;
  const std::size_t left_depth =
      build_morton_below(left, triangles, codes, begin, middle, nodes, left_box);
  const std::size_t right_depth =
      build_morton_below(right, triangles, codes, middle, end, nodes, right_box);
  nodes[pair] = left;
  nodes[pair + 1] = right;
  box = left_box;
  box.grow(right_box);
  RangeBounds bounds;
  bounds.boxes = box;
  node = node_of(bounds, begin, end, false);
  node.first = static_cast<std::uint32_t>(pair);
  return 1 + std::max(left_depth, right_depth);
}

// Gives the inner nodes of the top of the tree, whose boxes the splits left empty, the union
// of their children's: a walk down from `index` that stops at the boxes already found (the
// subtrees' roots and the leaves).
void refit_top(base::PodVector<Node>& nodes, std::size_t index) {
  Node& node = nodes[index];
  if (node.count != 0) return;
  for (const std::size_t child : {std::size_t{node.first}, std::size_t{node.first} + 1}) {
    if (nodes[child].count == 0 && !(nodes[child].lo[0] <= nodes[child].hi[0])) {
      refit_top(nodes, child);
    }
  }
  const Node& left = nodes[node.first];
  const Node& right = nodes[node.first + 1];
  for (int k = 0; k < 3; ++k) {
    node.lo[k] = std::min(left.lo[k], right.lo[k]);
    node.hi[k] = std::max(left.hi[k], right.hi[k]);
  }
}

// The tree by Morton order (a linear BVH): the triangles sorted by the Morton codes of their
// boxes' centres (a stable radix sort, so that equal codes keep the mesh's order), each range
// split where its codes first differ, the boxes found from the leaves up. It reads no box per
// triangle but the centres', and moves the triangles once: several times faster to build than
// by area, for a tree whose rays take a few more visits. Fills `nodes` (which holds the root
// and the unused slot) and `triangles`; returns the depth.
std::size_t build_in_morton_order(const TriangleMesh& mesh, base::PodVector<Node>& nodes,
                                  base::PodVector<TriangleBvh::Triangle>& triangles) {
  const std::size_t faces = mesh.face_count();
  const auto corner = [&](std::size_t f, std::size_t k) -> const base::Point3& {
    return mesh.loose_corners ? mesh.positions[3 * f + k] : mesh.positions[mesh.corners[3 * f + k]];
  };
  const auto centre_of = [&](std::size_t f, bool& kept) {
    const base::Point3 &a = corner(f, 0), &b = corner(f, 1), &c = corner(f, 2);
    kept = finite(a) && finite(b) && finite(c);
    const Vec4 va = {a.x, a.y, a.z, 0.0f}, vb = {b.x, b.y, b.z, 0.0f}, vc = {c.x, c.y, c.z, 0.0f};
    return min4(min4(va, vb), vc) * 0.5f + max4(max4(va, vb), vc) * 0.5f;
  };
  // The box of the centres, and how many triangles have finite corners.
  struct Centres {
    Box box;
    std::size_t kept = 0;
  };
  const Centres centres = parallel::parallel_reduce(
      faces, Centres{},
      [&](Centres& found, std::size_t begin, std::size_t end) {
        for (std::size_t f = begin; f < end; ++f) {
          bool kept;
          const Vec4 centre = centre_of(f, kept);
          if (!kept) continue;
          found.box.grow_point(centre);
          ++found.kept;
        }
      },
      [](Centres& left, Centres&& right) {
        left.box.grow(right.box);
        left.kept += right.kept;
      });
  if (centres.kept == 0) return 0;
  // The codes; a triangle left out gets one above every code, and sorts last.
  const Vec4 extent = centres.box.hi - centres.box.lo;
  const Vec4 scale = {extent[0] > 0.0f ? 1.0f / extent[0] : 0.0f,
                      extent[1] > 0.0f ? 1.0f / extent[1] : 0.0f,
                      extent[2] > 0.0f ? 1.0f / extent[2] : 0.0f, 0.0f};
  base::PodVector<std::uint32_t> keys, other_keys, order, other_order;
  keys.extend(faces);
  other_keys.extend(faces);
  order.extend(faces);
  other_order.extend(faces);
  parallel::parallel_for(faces, [&](std::size_t begin, std::size_t end) {
    for (std::size_t f = begin; f < end; ++f) {
      bool kept;
      const Vec4 centre = centre_of(f, kept);
      keys[f] = kept ? morton_code(centre, centres.box.lo, scale) : UINT32_MAX;
      order[f] = static_cast<std::uint32_t>(f);
    }
  });
  // Four passes of a byte each (256 buckets keep the scatter's writes in the cache), each cut
  // into contiguous chunks: every chunk counts its digits, then writes its items from where
  // the items of the same digit in the chunks before it end, so the sort stays stable.
  constexpr std::size_t DIGITS = 256;
  const std::size_t chunks = parallel::chunk_count(faces);
  std::vector<std::array<std::size_t, DIGITS>> starts(chunks);
  for (int shift = 0; shift < 32; shift += 8) {
    parallel::run_chunks(faces, [&](std::size_t chunk, std::size_t begin, std::size_t end) {
      starts[chunk].fill(0);
      for (std::size_t i = begin; i < end; ++i) ++starts[chunk][(keys[i] >> shift) & (DIGITS - 1)];
    });
    std::size_t running = 0;
    bool one_digit = false;
    for (std::size_t digit = 0; digit < DIGITS; ++digit) {
      std::size_t total = 0;
      for (std::size_t chunk = 0; chunk < chunks; ++chunk) total += starts[chunk][digit];
      one_digit = one_digit || total == faces;
      for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
        running += std::exchange(starts[chunk][digit], running);
      }
    }
    if (one_digit) continue;  // every key has this byte alike: the order stands
    parallel::run_chunks(faces, [&](std::size_t chunk, std::size_t begin, std::size_t end) {
      std::array<std::size_t, DIGITS>& at = starts[chunk];
      for (std::size_t i = begin; i < end; ++i) {
        const std::size_t to = at[(keys[i] >> shift) & (DIGITS - 1)]++;
        other_keys[to] = keys[i];
        other_order[to] = order[i];
      }
    });
    std::swap(keys, other_keys);
    std::swap(order, other_order);
  }
  const std::size_t count = centres.kept;
  TriangleBvh::Triangle* made = triangles.extend(count);
  parallel::parallel_for(count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint32_t f = order[i];
      made[i] = {corner(f, 0), corner(f, 1), corner(f, 2), f};
    }
  });
  // The top's boxes are left empty by its splits and found from below once the subtrees
  // are built.
  const std::size_t depth = assemble(
      nodes, count, RangeBounds{},
      [&](std::size_t first, std::size_t last, const RangeBounds&, std::size_t) {
        return Split{morton_middle(keys.data(), first, last), {}, {}};
      },
      [&](Node& root, std::size_t begin, std::size_t end, const RangeBounds&, std::size_t,
          base::PodVector<Node>& block) {
        Box box;
        return build_morton_below(root, made, keys.data(), begin, end, block, box);
      });
  refit_top(nodes, 0);
  return depth;
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

TriangleBvh::TriangleBvh(const TriangleMesh& mesh, BuildQuality quality) {
  nodes_.push_back(Node{});  // the root
  nodes_.push_back(Node{});  // unused: it keeps each pair of children within 64 bytes
  if (quality == BuildQuality::Morton) {
    depth_ = build_in_morton_order(mesh, nodes_, triangles_);
  } else {
    build_by_area(mesh);
  }
  if (triangles_.empty()) {
    nodes_[0] = Node{};
    for (int k = 0; k < 3; ++k) nodes_[0].lo[k] = INFINITY, nodes_[0].hi[k] = -INFINITY;
    return;
  }
  // Every box widened by a few units in the last place of the mesh's largest coordinate: the
  // triangle test rounds its translated corners to that, and may find a hit just outside the
  // exact box of the triangle; no box may reject such a ray.
  const Node& root = nodes_[0];
  const float largest =
      std::max({std::fabs(root.lo[0]), std::fabs(root.lo[1]), std::fabs(root.lo[2]),
                std::fabs(root.hi[0]), std::fabs(root.hi[1]), std::fabs(root.hi[2])});
  const float margin = largest * BOX_MARGIN;
  parallel::parallel_for(nodes_.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      for (int k = 0; k < 3; ++k) {
        nodes_[i].lo[k] -= margin;
        nodes_[i].hi[k] += margin;
      }
    }
  });
}

void TriangleBvh::build_by_area(const TriangleMesh& mesh) {
  const std::size_t faces = mesh.face_count();
  const auto corner = [&](std::size_t f, std::size_t k) -> const base::Point3& {
    return mesh.loose_corners ? mesh.positions[3 * f + k] : mesh.positions[mesh.corners[3 * f + k]];
  };
  // The triangles with finite corners, in mesh order.
  base::PodVector<PrimRef> prims;
  {
    std::vector<std::uint8_t> kept(faces);
    const std::size_t count = parallel::parallel_reduce(
        faces, std::size_t{0},
        [&](std::size_t& finite_count, std::size_t begin, std::size_t end) {
          for (std::size_t f = begin; f < end; ++f) {
            kept[f] = finite(corner(f, 0)) && finite(corner(f, 1)) && finite(corner(f, 2));
            finite_count += kept[f];
          }
        },
        [](std::size_t& left, std::size_t&& right) { left += right; });
    // Usually every face: then the i-th triangle kept is face i.
    std::vector<std::uint32_t> kept_faces;
    if (count != faces) {
      kept_faces.reserve(count);
      for (std::size_t f = 0; f < faces; ++f) {
        if (kept[f]) kept_faces.push_back(static_cast<std::uint32_t>(f));
      }
    }
    PrimRef* made = prims.extend(count);
    parallel::parallel_for(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        PrimRef& prim = made[i];
        const auto face = kept_faces.empty() ? static_cast<std::uint32_t>(i) : kept_faces[i];
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
  if (count == 0) return;
  PrimRef* data = prims.data();
  const RangeBounds all = parallel::parallel_reduce(
      count, RangeBounds{},
      [&](RangeBounds& bounds, std::size_t begin, std::size_t end) {
        bounds.add(bounds_of(data, begin, end));
      },
      [](RangeBounds& left, RangeBounds&& right) { left.add(right); });

  depth_ = build_tree_by_area(nodes_, data, count, all);
  // The triangles in the order of the leaves.
  Triangle* triangles = triangles_.extend(count);
  parallel::parallel_for(count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint32_t f = data[i].face();
      triangles[i] = {corner(f, 0), corner(f, 1), corner(f, 2), f};
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
