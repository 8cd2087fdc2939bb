#include "spread/farthest_point.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <tuple>
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

// A node of the tree: the box around its points, its farthest point, and what it holds: a
// leaf the slots [first, last), an inner node (last == 0) its two children, `first` and the
// node after it.
template <class T>
struct Node {
  T low[3];
  T high[3];
  Farthest<T> farthest;
  std::uint32_t first;
  std::uint32_t last;
  std::uint32_t farthest_slot;  // a leaf's: where its farthest point lies

  bool leaf() const { return last != 0; }
};

// An update goes to the pool, subtree by subtree, while the one before it reached at least
// this many points: smaller ones cost less than waking the workers.
constexpr std::size_t PARALLEL_UPDATE_POINTS = std::size_t{1} << 16;
// The depth whose subtrees are the pool's items (up to 64 of them), used when the points are
// at least PARALLEL_TREE_POINTS.
constexpr unsigned SPLIT_DEPTH = 6;
constexpr std::size_t PARALLEL_TREE_POINTS = std::size_t{1} << 17;

// Bits per axis of the Morton codes: cells of 1/65536 of the points' extent.
constexpr unsigned CODE_BITS = 16;

// The 16 bits of v spread to every third bit of a 48-bit word.
inline std::uint64_t spread_bits(std::uint64_t v) {
  v = (v | (v << 32)) & 0x1f00000000ffffULL;
  v = (v | (v << 16)) & 0x1f0000ff0000ffULL;
  v = (v | (v << 8)) & 0x100f00f00f00f00fULL;
  v = (v | (v << 4)) & 0x10c30c30c30c30c3ULL;
  v = (v | (v << 2)) & 0x1249249249249249ULL;
  return v;
}

// The points are held scaled so that their largest magnitude lies in [2^59, 2^60): squared
// distances, at most 12 * 2^120, stay below the largest float, and one underflows only
// between points closer than about 2^-123 of that magnitude.
constexpr int HELD_EXPONENT = 60;

// The power of two (its exponent) that brings `largest`, the largest magnitude of the points,
// into [2^59, 2^60); 0 for points that are all zero.
inline int scale_shift(double largest) {
  if (!(largest > 0.0)) return 0;
  int exponent = 0;
  std::frexp(largest, &exponent);
  return HELD_EXPONENT - exponent;
}

// The points in Morton order (their coordinates quantised to CODE_BITS per axis over their
// box, the bits interleaved), under a binary tree that splits a run of points where the
// next bit of their codes changes: every node holds the points of one cell of an octree cut
// in halves axis by axis, so the boxes are tight and siblings never overlap. A run of more
// than LEAF_POINTS points with one code is cut in halves by count.
template <class T>
class FarthestPointTree {
 public:
  FarthestPointTree(std::span<const T> coordinates, std::size_t count)
      : coordinates_(coordinates), count_(count) {
    lay_out();
    nodes_.reserve(2 * (count / (LEAF_POINTS / 2) + 1));
    nodes_.push_back({});
    build(0, 0, static_cast<std::uint32_t>(count_), static_cast<int>(3 * CODE_BITS) - 1);
    codes_ = {};
  }

  void run(std::size_t start, std::span<std::uint64_t> chosen) {
    std::size_t next = start;
    for (std::size_t j = 0; j < chosen.size(); ++j) {
      chosen[j] = next;
      if (j + 1 == chosen.size()) break;
      const T point[3] = {scaled(coordinates_[3 * next]), scaled(coordinates_[3 * next + 1]),
                          scaled(coordinates_[3 * next + 2])};
      update(point);
      next = nodes_[0].farthest.index;
    }
  }

 private:
  void lay_out() {
    double low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (std::size_t i = 0; i < count_; ++i) {
      for (std::size_t a = 0; a < 3; ++a) {
        low[a] = std::min<double>(low[a], coordinates_[3 * i + a]);
        high[a] = std::max<double>(high[a], coordinates_[3 * i + a]);
      }
    }
    double largest = 0.0;
    for (std::size_t a = 0; a < 3; ++a) largest = std::max({largest, -low[a], high[a]});
    // Two factors, since 2^shift itself lies beyond the doubles for the smallest doubles.
    const int shift = scale_shift(largest);
    factor_ = std::ldexp(1.0, shift / 2);
    rest_factor_ = std::ldexp(1.0, shift - shift / 2);
    for (std::size_t a = 0; a < 3; ++a) {
      low[a] = std::ldexp(low[a], shift);
      high[a] = std::ldexp(high[a], shift);
    }
    constexpr double LAST_STEP = double{(1u << CODE_BITS) - 1};
    double scale[3];
    for (std::size_t a = 0; a < 3; ++a) {
      const double extent = high[a] - low[a];
      scale[a] = extent > 0.0 ? LAST_STEP / extent : 0.0;
    }
    List<std::uint64_t> codes(count_);
    List<std::uint32_t> order(count_);
    parallel::parallel_for(count_, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        std::uint64_t code = 0;
        for (std::size_t a = 0; a < 3; ++a) {
          double step = (scaled(coordinates_[3 * i + a]) - low[a]) * scale[a];
          if (!(step >= 0.0)) step = 0.0;
          code |= spread_bits(static_cast<std::uint64_t>(std::min(step, LAST_STEP))) << a;
        }
        codes[i] = code;
        order[i] = static_cast<std::uint32_t>(i);
      }
    });
    sort_by_code(codes, order);

    for (auto* axis : {&x_, &y_, &z_, &distance_}) axis->resize(count_);
    parallel::parallel_for(count_, [&](std::size_t begin, std::size_t end) {
      for (std::size_t slot = begin; slot < end; ++slot) {
        const std::size_t i = order[slot];
        x_[slot] = scaled(coordinates_[3 * i]);
        y_[slot] = scaled(coordinates_[3 * i + 1]);
        z_[slot] = scaled(coordinates_[3 * i + 2]);
        distance_[slot] = std::numeric_limits<T>::infinity();
      }
    });
    index_ = std::move(order);
    codes_ = std::move(codes);
  }

  // A coordinate as the tree holds it: scaled by the power of two, exactly unless it becomes
  // subnormal (the products of a float are exact in double, which is then rounded once).
  T scaled(T coordinate) const {
    return static_cast<T>(double{coordinate} * factor_ * rest_factor_);
  }

  // A stable sort of the points by code: four passes of 12 bits, or a plain sort of few.
  static void sort_by_code(List<std::uint64_t>& codes, List<std::uint32_t>& order) {
    constexpr unsigned DIGIT_BITS = 12;
    constexpr std::size_t DIGITS = std::size_t{1} << DIGIT_BITS;
    const std::size_t count = codes.size();
    if (count < DIGITS) {
      std::vector<std::pair<std::uint64_t, std::uint32_t>> pairs(count);
      for (std::size_t i = 0; i < count; ++i) pairs[i] = {codes[i], order[i]};
      std::sort(pairs.begin(), pairs.end());
      for (std::size_t i = 0; i < count; ++i) std::tie(codes[i], order[i]) = pairs[i];
      return;
    }
    List<std::uint64_t> other_codes(count);
    List<std::uint32_t> other_order(count);
    std::vector<std::size_t> offsets(DIGITS);
    for (unsigned shift = 0; shift < 3 * CODE_BITS; shift += DIGIT_BITS) {
      std::fill(offsets.begin(), offsets.end(), 0);
      for (std::uint64_t code : codes) ++offsets[(code >> shift) & (DIGITS - 1)];
      std::size_t running = 0;
      for (std::size_t& offset : offsets) running += std::exchange(offset, running);
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t to = offsets[(codes[i] >> shift) & (DIGITS - 1)]++;
        other_codes[to] = codes[i];
        other_order[to] = order[i];
      }
      codes.swap(other_codes);
      order.swap(other_order);
    }
  }

  // Makes node `at` hold the slots [first, last), whose codes agree above `bit`.
  void build(std::size_t at, std::uint32_t first, std::uint32_t last, int bit) {
    std::uint32_t middle = 0;
    while (last - first > LEAF_POINTS) {
      if (bit < 0) {
        middle = first + (last - first) / 2;
        break;
      }
      const std::uint64_t mask = std::uint64_t{1} << bit;
      const auto begin = codes_.begin() + first, end = codes_.begin() + last;
      const auto cut =
          std::partition_point(begin, end, [mask](std::uint64_t c) { return (c & mask) == 0; });
      --bit;
      if (cut != begin && cut != end) {
        middle = static_cast<std::uint32_t>(cut - codes_.begin());
        break;
      }
    }
    if (middle == 0) {
      make_leaf(at, first, last);
      return;
    }
    const auto left = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back({});
    nodes_.push_back({});
    build(left, first, middle, bit);
    build(left + 1, middle, last, bit);
    Node<T>& node = nodes_[at];
    const Node<T>& a = nodes_[left];
    const Node<T>& b = nodes_[left + 1];
    for (std::size_t k = 0; k < 3; ++k) {
      node.low[k] = std::min(a.low[k], b.low[k]);
      node.high[k] = std::max(a.high[k], b.high[k]);
    }
    node.first = left;
    node.last = 0;
    join(at);
  }

  void make_leaf(std::size_t at, std::uint32_t first, std::uint32_t last) {
    Node<T>& node = nodes_[at];
    for (std::size_t a = 0; a < 3; ++a) {
      node.low[a] = std::numeric_limits<T>::infinity();
      node.high[a] = -std::numeric_limits<T>::infinity();
    }
    for (std::uint32_t s = first; s < last; ++s) {
      const T at_slot[3] = {x_[s], y_[s], z_[s]};
      for (std::size_t a = 0; a < 3; ++a) {
        node.low[a] = std::min(node.low[a], at_slot[a]);
        node.high[a] = std::max(node.high[a], at_slot[a]);
      }
    }
    node.first = first;
    node.last = last;
    set_farthest(node, largest_distance(node));
  }

  // The largest distance in the leaf, in four running maxima that the compiler can keep in
  // one vector register (there is no NaN among the distances, so the order is free).
  T largest_distance(const Node<T>& leaf) const {
    const T* distance = distance_.data();
    T most[4] = {T{-1}, T{-1}, T{-1}, T{-1}};
    std::uint32_t s = leaf.first;
    for (; s + 4 <= leaf.last; s += 4) {
      for (std::uint32_t k = 0; k < 4; ++k) {
        most[k] = most[k] < distance[s + k] ? distance[s + k] : most[k];
      }
    }
    for (; s < leaf.last; ++s) most[0] = most[0] < distance[s] ? distance[s] : most[0];
    return std::max(std::max(most[0], most[1]), std::max(most[2], most[3]));
  }

  // Makes the leaf's farthest point the one of lowest index among those at `largest`, its
  // largest distance: found with the slot of the last one and their number, and searched
  // again only when several tie.
  void set_farthest(Node<T>& leaf, T largest) {
    const T* distance = distance_.data();
    std::uint32_t at = leaf.first, ties = 0;
    for (std::uint32_t s = leaf.first; s < leaf.last; ++s) {
      const bool equal = distance[s] == largest;
      ties += equal;
      at = equal ? s : at;
    }
    if (ties > 1) {
      for (std::uint32_t s = leaf.first; s < leaf.last; ++s) {
        if (distance[s] == largest && index_[s] < index_[at]) at = s;
      }
    }
    leaf.farthest = {largest, index_[at]};
    leaf.farthest_slot = at;
  }

  void join(std::size_t at) {
    Node<T>& node = nodes_[at];
    const Farthest<T>& left = nodes_[node.first].farthest;
    const Farthest<T>& right = nodes_[node.first + 1].farthest;
    node.farthest = farther(right, left) ? right : left;
  }

  // True when no point of `node` can come closer to `p` than it is now.
  bool out_of_reach(const Node<T>& node, const T* p) const {
    double bound = 0.0;
    for (std::size_t a = 0; a < 3; ++a) {
      const double below = double{node.low[a]} - double{p[a]};
      const double above = double{p[a]} - double{node.high[a]};
      const double gap = std::max(std::max(below, above), 0.0);
      bound += gap * gap;
    }
    const double safe = bound * (1.0 - Margin<T>::RELATIVE) - Margin<T>::ABSOLUTE;
    return safe >= double{node.farthest.distance};
  }

  // Lowers the distances of a leaf's points to `p`; returns how many points it went over.
  std::size_t update_leaf(Node<T>& leaf, const T* p) {
    const T px = p[0], py = p[1], pz = p[2];
    const T* __restrict__ x = x_.data();
    const T* __restrict__ y = y_.data();
    const T* __restrict__ z = z_.data();
    T* __restrict__ distance = distance_.data();
    for (std::uint32_t s = leaf.first; s < leaf.last; ++s) {
      const T dx = x[s] - px, dy = y[s] - py, dz = z[s] - pz;
      const T d = (dx * dx + dy * dy) + dz * dz;
      distance[s] = d < distance[s] ? d : distance[s];
    }
    // Distances only fall: while the farthest point keeps its own, it stays the farthest, and
    // of any left at its distance the lowest index.
    if (distance[leaf.farthest_slot] != leaf.farthest.distance) {
      set_farthest(leaf, largest_distance(leaf));
    }
    return leaf.last - leaf.first;
  }

  // Brings the points under node `at`, which `p` can reach, up to date; returns how many
  // points it went over.
  std::size_t visit(std::size_t at, const T* p) {
    Node<T>& node = nodes_[at];
    if (node.leaf()) return update_leaf(node, p);
    std::size_t reached = 0;
    const std::size_t left = node.first;
    if (!out_of_reach(nodes_[left], p)) reached += visit(left, p);
    if (!out_of_reach(nodes_[left + 1], p)) reached += visit(left + 1, p);
    join(at);
    return reached;
  }

  void update(const T* p) {
    if (out_of_reach(nodes_[0], p)) return;
    // An update goes to the pool, subtree by subtree, when the one before it reached many
    // points: the number falls as the points chosen come closer together.
    const bool wide = count_ >= PARALLEL_TREE_POINTS && last_reached_ >= PARALLEL_UPDATE_POINTS &&
                      parallel::pool_size() > 1;
    if (!wide) {
      last_reached_ = visit(0, p);
      return;
    }
    std::size_t subtrees[std::size_t{1} << SPLIT_DEPTH];
    std::size_t subtree_count = 0;
    collect(0, 0, p, subtrees, subtree_count);
    std::size_t reached[std::size_t{1} << SPLIT_DEPTH] = {};
    parallel::parallel_for(subtree_count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t r = begin; r < end; ++r) reached[r] = visit(subtrees[r], p);
    });
    last_reached_ = 0;
    for (std::size_t r = 0; r < subtree_count; ++r) last_reached_ += reached[r];
    rejoin(0, 0);
  }

  // The subtrees at SPLIT_DEPTH under node `at` (or leaves above it) that `p` can reach.
  void collect(std::size_t at, unsigned depth, const T* p, std::size_t* subtrees,
               std::size_t& subtree_count) const {
    const Node<T>& node = nodes_[at];
    if (depth == SPLIT_DEPTH || node.leaf()) {
      subtrees[subtree_count++] = at;
      return;
    }
    for (const std::size_t child : {std::size_t{node.first}, std::size_t{node.first} + 1}) {
      if (!out_of_reach(nodes_[child], p)) collect(child, depth + 1, p, subtrees, subtree_count);
    }
  }

  // Joins again the nodes above SPLIT_DEPTH, whose subtrees an update may have changed.
  void rejoin(std::size_t at, unsigned depth) {
    const Node<T>& node = nodes_[at];
    if (depth == SPLIT_DEPTH || node.leaf()) return;
    rejoin(node.first, depth + 1);
    rejoin(node.first + 1, depth + 1);
    join(at);
  }

  std::span<const T> coordinates_;
  std::size_t count_;
  double factor_ = 1.0, rest_factor_ = 1.0;  // the points are held times their product
  std::size_t last_reached_ = SIZE_MAX;      // points the last update went over
  List<T> x_, y_, z_, distance_;
  List<std::uint32_t> index_;   // each slot's point
  List<std::uint64_t> codes_;   // each slot's code, while the tree is built
  std::vector<Node<T>> nodes_;  // node 0 is the root
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
