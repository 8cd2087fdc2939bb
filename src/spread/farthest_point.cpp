#include "spread/farthest_point.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "base/big_alloc.h"
#include "base/fault.h"
#include "parallel/thread_pool.h"

namespace vertisift::spread {
namespace {

template <class T>
using List = std::vector<T, base::BigAllocator<T>>;

// How far below the computed distances a box's lower bound must stay. The distance
// (dx² + dy²) + dz² takes five roundings, each at most half an ulp of T, all of values that
// are never negative: at most a relative 5u below the exact value (u = 2^-24 for float,
// 2^-53 for double), plus a few of T's smallest steps where values underflow. The bound
// itself is taken in double, five roundings of 2^-53 above its exact value at most. The
// margins below cover both several times over.
template <class T>
struct Margin;
template <>
struct Margin<float> {
  static constexpr double RELATIVE = 1e-6;
  static constexpr double ABSOLUTE = 0x1.0p-140;
};
template <>
struct Margin<double> {
  static constexpr double RELATIVE = 1e-13;
  static constexpr double ABSOLUTE = 0x1.0p-1000;
};

// A node's farthest point: its distance and original index, ties to the lower index. An empty
// node's distance is -1, below every distance.
template <class T>
struct Farthest {
  T distance;
  std::uint32_t index;
};

template <class T>
inline bool farther(const Farthest<T>& a, const Farthest<T>& b) {
  return a.distance > b.distance || (a.distance == b.distance && a.index < b.index);
}

// A node of the tree: the box around its points and its farthest point. Siblings lie side by
// side, in one cache line for float points.
template <class T>
struct Node {
  T low[3];
  T high[3];
  Farthest<T> farthest;
};

// An update goes to the pool, subtree by subtree, while the one before it reached at least
// this many leaves (64Ki points): smaller ones cost less than waking the workers.
constexpr std::size_t PARALLEL_UPDATE_LEAVES = (std::size_t{1} << 16) / LEAF_POINTS;
// The level whose subtrees are the pool's items (64 of them), used when the points are at
// least PARALLEL_TREE_POINTS.
constexpr unsigned SPLIT_LEVEL = 6;
constexpr std::size_t PARALLEL_TREE_POINTS = std::size_t{1} << 17;
// The levels of the k-d tree split one node at a time before the subtrees below go to the
// pool.
constexpr unsigned TOP_SPLIT_LEVELS = 2;

template <class T>
class FarthestPointTree {
 public:
  FarthestPointTree(std::span<const T> coordinates, std::size_t count)
      : coordinates_(coordinates), count_(count) {
    lay_out();
    build_nodes();
  }

  void run(std::size_t start, std::span<std::uint64_t> chosen) {
    std::size_t next = start;
    for (std::size_t j = 0; j < chosen.size(); ++j) {
      chosen[j] = next;
      if (j + 1 == chosen.size()) break;
      update(&coordinates_[3 * next]);
      next = nodes_[1].farthest.index;
    }
  }

 private:
  // The points cut in halves by the median along their widest axis, down to leaves of
  // LEAF_POINTS (the last may hold fewer): a balanced k-d tree, laid out as the complete
  // binary tree over the leaves, whose every node covers a run of slots.
  void lay_out() {
    leaves_ = std::bit_ceil(std::max<std::size_t>(leaf_count(), 1));
    List<Item> items(count_);
    parallel::parallel_for(count_, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        items[i] = {{coordinates_[3 * i], coordinates_[3 * i + 1], coordinates_[3 * i + 2]},
                    static_cast<std::uint32_t>(i)};
      }
    });
    // The top levels one node at a time, then the subtrees below on the pool.
    const unsigned depth = static_cast<unsigned>(std::countr_zero(leaves_));
    const unsigned top = std::min(depth, TOP_SPLIT_LEVELS);
    for (unsigned level = 0; level < top; ++level) {
      for (std::size_t node = std::size_t{1} << level; node < (std::size_t{2} << level); ++node) {
        split(items, node, level);
      }
    }
    const std::size_t first = std::size_t{1} << top;
    parallel::parallel_for(first, [&](std::size_t begin, std::size_t end) {
      for (std::size_t node = first + begin; node < first + end; ++node) {
        split_below(items, node, top, depth);
      }
    });

    // The last leaf's empty slots keep distance -1, below every distance: a leaf is always
    // worked on whole, in loops of a fixed length.
    const std::size_t padded = leaf_count() * LEAF_POINTS;
    for (auto* axis : {&x_, &y_, &z_}) axis->assign(padded, T{0});
    index_.assign(padded, UINT32_MAX);
    distance_.assign(padded, T{-1});
    parallel::parallel_for(count_, [&](std::size_t begin, std::size_t end) {
      for (std::size_t slot = begin; slot < end; ++slot) {
        x_[slot] = items[slot].at[0];
        y_[slot] = items[slot].at[1];
        z_[slot] = items[slot].at[2];
        index_[slot] = items[slot].index;
        distance_[slot] = std::numeric_limits<T>::infinity();
      }
    });
  }

  struct Item {
    T at[3];
    std::uint32_t index;
  };

  // The slots under `node` at `level`: its leaves' slots, cut at the end of the points.
  std::pair<std::size_t, std::size_t> slots(std::size_t node, unsigned level) const {
    const std::size_t width = leaves_ >> level;
    const std::size_t first_leaf = (node - (std::size_t{1} << level)) * width;
    return {std::min(count_, first_leaf * LEAF_POINTS),
            std::min(count_, (first_leaf + width) * LEAF_POINTS)};
  }

  // Puts the items of `node`'s left child before those of its right one.
  void split(List<Item>& items, std::size_t node, unsigned level) const {
    const auto [begin, end] = slots(node, level);
    const std::size_t middle = slots(2 * node, level + 1).second;
    if (middle <= begin || middle >= end) return;
    T low[3] = {items[begin].at[0], items[begin].at[1], items[begin].at[2]};
    T high[3] = {low[0], low[1], low[2]};
    for (std::size_t i = begin + 1; i < end; ++i) {
      for (std::size_t a = 0; a < 3; ++a) {
        low[a] = std::min(low[a], items[i].at[a]);
        high[a] = std::max(high[a], items[i].at[a]);
      }
    }
    std::size_t axis = 0;
    for (std::size_t a = 1; a < 3; ++a) {
      if (double{high[a]} - low[a] > double{high[axis]} - low[axis]) axis = a;
    }
    const auto at = [&](std::size_t i) { return items.begin() + static_cast<std::ptrdiff_t>(i); };
    std::nth_element(at(begin), at(middle), at(end),
                     [axis](const Item& a, const Item& b) { return a.at[axis] < b.at[axis]; });
  }

  void split_below(List<Item>& items, std::size_t node, unsigned level, unsigned depth) const {
    if (level == depth) return;
    split(items, node, level);
    split_below(items, 2 * node, level + 1, depth);
    split_below(items, 2 * node + 1, level + 1, depth);
  }

  std::size_t leaf_count() const { return (count_ + LEAF_POINTS - 1) / LEAF_POINTS; }

  void build_nodes() {
    nodes_.resize(2 * leaves_);
    constexpr T far = std::numeric_limits<T>::infinity();
    const Node<T> empty{{far, far, far}, {-far, -far, -far}, {T{-1}, UINT32_MAX}};
    parallel::parallel_for(leaves_, [&](std::size_t begin, std::size_t end) {
      for (std::size_t leaf = begin; leaf < end; ++leaf) {
        Node<T> node = empty;
        const std::size_t first = leaf * LEAF_POINTS;
        const std::size_t last = std::min(count_, first + LEAF_POINTS);
        for (std::size_t s = first; s < last; ++s) {
          const T at[3] = {x_[s], y_[s], z_[s]};
          for (std::size_t a = 0; a < 3; ++a) {
            node.low[a] = std::min(node.low[a], at[a]);
            node.high[a] = std::max(node.high[a], at[a]);
          }
        }
        if (first < count_) node.farthest = leaf_farthest(leaf);
        nodes_[leaves_ + leaf] = node;
      }
    });
    for (std::size_t node = leaves_ - 1; node >= 1; --node) {
      const Node<T>& left = nodes_[2 * node];
      const Node<T>& right = nodes_[2 * node + 1];
      for (std::size_t a = 0; a < 3; ++a) {
        nodes_[node].low[a] = std::min(left.low[a], right.low[a]);
        nodes_[node].high[a] = std::max(left.high[a], right.high[a]);
      }
      join(node);
    }
  }

  // The largest distance in the leaf, then the lowest index of the points at it: two
  // branch-free passes of a fixed length.
  Farthest<T> leaf_farthest(std::size_t leaf) const {
    const T* distance = &distance_[leaf * LEAF_POINTS];
    const std::uint32_t* index = &index_[leaf * LEAF_POINTS];
    T largest = T{-1};
    for (std::size_t s = 0; s < LEAF_POINTS; ++s) largest = std::max(largest, distance[s]);
    std::uint32_t lowest = UINT32_MAX;
    for (std::size_t s = 0; s < LEAF_POINTS; ++s) {
      lowest = distance[s] == largest ? std::min(lowest, index[s]) : lowest;
    }
    return {largest, lowest};
  }

  void join(std::size_t node) {
    const Farthest<T>& left = nodes_[2 * node].farthest;
    const Farthest<T>& right = nodes_[2 * node + 1].farthest;
    nodes_[node].farthest = farther(right, left) ? right : left;
  }

  // True when no point of `node` can come closer to `p` than it is now.
  bool out_of_reach(std::size_t node, const T* p) const {
    const Node<T>& box = nodes_[node];
    double bound = 0.0;
    for (std::size_t a = 0; a < 3; ++a) {
      const double below = double{box.low[a]} - double{p[a]};
      const double above = double{p[a]} - double{box.high[a]};
      const double gap = std::max(std::max(below, above), 0.0);
      bound += gap * gap;
    }
    const double safe = bound * (1.0 - Margin<T>::RELATIVE) - Margin<T>::ABSOLUTE;
    return safe >= double{box.farthest.distance};
  }

  void update_leaf(std::size_t leaf, const T* p) {
    const std::size_t first = leaf * LEAF_POINTS;
    const T *x = &x_[first], *y = &y_[first], *z = &z_[first];
    T* distance = &distance_[first];
    const T px = p[0], py = p[1], pz = p[2];
    for (std::size_t s = 0; s < LEAF_POINTS; ++s) {
      const T dx = x[s] - px, dy = y[s] - py, dz = z[s] - pz;
      const T d = (dx * dx + dy * dy) + dz * dz;
      distance[s] = d < distance[s] ? d : distance[s];  // an empty slot's -1 stays
    }
    nodes_[leaves_ + leaf].farthest = leaf_farthest(leaf);
  }

  // Brings the points under `node`, which `p` can reach, up to date; returns how many
  // leaves it updated.
  std::size_t visit(std::size_t node, const T* p) {
    if (node >= leaves_) {
      update_leaf(node - leaves_, p);
      return 1;
    }
    std::size_t updated = 0;
    if (!out_of_reach(2 * node, p)) updated += visit(2 * node, p);
    if (!out_of_reach(2 * node + 1, p)) updated += visit(2 * node + 1, p);
    join(node);
    return updated;
  }

  void update(const T* p) {
    if (out_of_reach(1, p)) return;
    // An update is given to the pool, subtree by subtree, when the one before reached many
    // points: the number falls as the points chosen come closer together.
    const bool wide = count_ >= PARALLEL_TREE_POINTS && last_updated_ >= PARALLEL_UPDATE_LEAVES &&
                      leaves_ > (std::size_t{1} << SPLIT_LEVEL) && parallel::pool_size() > 1;
    if (!wide) {
      last_updated_ = visit(1, p);
      return;
    }
    std::size_t reached[std::size_t{1} << SPLIT_LEVEL];
    std::size_t reached_count = 0;
    collect(1, 0, p, reached, reached_count);
    std::size_t updated[std::size_t{1} << SPLIT_LEVEL] = {};
    parallel::parallel_for(reached_count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t r = begin; r < end; ++r) updated[r] = visit(reached[r], p);
    });
    last_updated_ = 0;
    for (std::size_t r = 0; r < reached_count; ++r) last_updated_ += updated[r];
    for (std::size_t node = (std::size_t{1} << SPLIT_LEVEL) - 1; node >= 1; --node) join(node);
  }

  // The subtrees at SPLIT_LEVEL under `node` (reachable from `p`) that `p` can reach.
  void collect(std::size_t node, unsigned level, const T* p, std::size_t* reached,
               std::size_t& reached_count) const {
    if (level == SPLIT_LEVEL) {
      reached[reached_count++] = node;
      return;
    }
    for (const std::size_t child : {2 * node, 2 * node + 1}) {
      if (!out_of_reach(child, p)) collect(child, level + 1, p, reached, reached_count);
    }
  }

  std::span<const T> coordinates_;
  std::size_t count_;
  std::size_t leaves_ = 0;  // a power of two: node 1 is the root, leaf j is node leaves_ + j
  std::size_t last_updated_ = SIZE_MAX;  // leaves the last update reached
  List<T> x_, y_, z_, distance_;
  List<std::uint32_t> index_;
  List<Node<T>> nodes_;
};

}  // namespace

template <class T>
void farthest_point_sample(std::span<const T> coordinates, std::size_t start,
                           std::span<std::uint64_t> chosen) {
  const std::size_t count = coordinates.size() / 3;
  if (chosen.empty()) return;
  if (chosen.size() > count || start >= count || count > UINT32_MAX) {
    base::raise_fault("farthest-point sample asked outside its points");
  }
  FarthestPointTree<T> tree(coordinates, count);
  tree.run(start, chosen);
}

template void farthest_point_sample<float>(std::span<const float>, std::size_t,
                                           std::span<std::uint64_t>);
template void farthest_point_sample<double>(std::span<const double>, std::size_t,
                                            std::span<std::uint64_t>);

}  // namespace vertisift::spread
