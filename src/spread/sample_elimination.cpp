#include "spread/sample_elimination.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <vector>

#include "base/big_alloc.h"
#include "base/fault.h"

namespace vertisift::spread {
namespace {

template <class T>
using List = std::vector<T, base::BigAllocator<T>>;

constexpr double LIMIT_SHARE = 0.65;  // d_min = LIMIT_SHARE R (1 - (keep/m)^1.5)
constexpr double SQRT3 = 1.7320508075688772;
// Cell coordinates stay within this, so that a neighbour's never overflows; a sample spread
// so far that more would be needed only shares cells more.
constexpr double CELL_LIMIT = 0x1.0p40;

struct Placed {
  std::int64_t cell[3];
  std::uint32_t index;
};

inline bool cell_before(const std::int64_t* a, const std::int64_t* b) {
  return std::lexicographical_compare(a, a + 3, b, b + 3);
}

class Elimination {
 public:
  Elimination(std::span<const base::Point3> points, double area, std::size_t keep)
      : points_(points), radius_(std::sqrt(2.0 * area / (SQRT3 * static_cast<double>(keep)))) {
    const double ratio = static_cast<double>(keep) / static_cast<double>(points.size());
    limit_ = radius_ * LIMIT_SHARE * (1.0 - ratio * std::sqrt(ratio));
    find_neighbours();
  }

  // Removes points until `keep` remain, and lists those in increasing order.
  void run(std::span<std::uint64_t> kept) {
    const std::size_t count = points_.size();
    weight_.assign(count, 0.0);
    for (std::size_t i = 0; i < count; ++i) {
      double sum = 0.0;
      for (std::size_t n = first_[i]; n < first_[i + 1]; ++n) sum += weight(i, neighbours_[n]);
      weight_[i] = sum;
    }
    heap_.resize(count);
    place_.resize(count);
    std::iota(heap_.begin(), heap_.end(), 0u);
    for (std::size_t i = 0; i < count; ++i) place_[i] = static_cast<std::uint32_t>(i);
    heap_size_ = count;
    for (std::size_t h = count / 2; h-- > 0;) sift_down(h);

    List<bool> removed(count, false);
    for (std::size_t left = count; left > kept.size(); --left) {
      const std::uint32_t gone = heap_[0];
      removed[gone] = true;
      const std::uint32_t last = heap_[left - 1];
      heap_[0] = last;
      place_[last] = 0;
      heap_size_ = left - 1;
      sift_down(0);
      for (std::size_t n = first_[gone]; n < first_[gone + 1]; ++n) {
        const std::uint32_t j = neighbours_[n];
        if (removed[j]) continue;
        weight_[j] -= weight(gone, j);
        sift_down(place_[j]);
      }
    }
    std::size_t out = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (!removed[i]) kept[out++] = i;
    }
  }

 private:
  // Every pair closer than R, each point's neighbours in increasing order (CSR).
  void find_neighbours() {
    const std::size_t count = points_.size();
    double low[3] = {INFINITY, INFINITY, INFINITY};
    for (const base::Point3& p : points_) {
      low[0] = std::min<double>(low[0], p.x);
      low[1] = std::min<double>(low[1], p.y);
      low[2] = std::min<double>(low[2], p.z);
    }
    List<Placed> placed(count);
    for (std::size_t i = 0; i < count; ++i) {
      const double at[3] = {points_[i].x, points_[i].y, points_[i].z};
      for (std::size_t a = 0; a < 3; ++a) {
        const double step = std::floor((at[a] - low[a]) / radius_);
        placed[i].cell[a] = static_cast<std::int64_t>(std::clamp(step, 0.0, CELL_LIMIT));
      }
      placed[i].index = static_cast<std::uint32_t>(i);
    }
    std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
      if (cell_before(a.cell, b.cell)) return true;
      if (cell_before(b.cell, a.cell)) return false;
      return a.index < b.index;
    });
    // The occupied cells: where each one's points begin in `placed`.
    List<std::size_t> starts;
    for (std::size_t s = 0; s < count; ++s) {
      if (s == 0 || cell_before(placed[s - 1].cell, placed[s].cell)) starts.push_back(s);
    }
    starts.push_back(count);

    const double reach = radius_ * radius_;
    List<std::uint32_t> counts(count, 0);
    List<std::array<std::uint32_t, 2>> pairs;  // (point, neighbour)
    for (std::size_t c = 0; c + 1 < starts.size(); ++c) {
      const std::int64_t* cell = placed[starts[c]].cell;
      for (int dx = -1; dx <= 1; ++dx) {
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dz = -1; dz <= 1; ++dz) {
            const std::int64_t near[3] = {cell[0] + dx, cell[1] + dy, cell[2] + dz};
            const std::size_t found = find_cell(placed, starts, near);
            if (found == SIZE_MAX) continue;
            for (std::size_t s = starts[c]; s < starts[c + 1]; ++s) {
              const std::uint32_t i = placed[s].index;
              for (std::size_t t = starts[found]; t < starts[found + 1]; ++t) {
                const std::uint32_t j = placed[t].index;
                if (i != j && squared_distance(i, j) < reach) pairs.push_back({i, j});
              }
            }
          }
        }
      }
    }
    std::sort(pairs.begin(), pairs.end());
    first_.assign(count + 1, 0);
    for (const auto& pair : pairs) ++first_[pair[0] + 1];
    for (std::size_t i = 0; i < count; ++i) first_[i + 1] += first_[i];
    neighbours_.resize(pairs.size());
    for (std::size_t n = 0; n < pairs.size(); ++n) neighbours_[n] = pairs[n][1];
  }

  static std::size_t find_cell(const List<Placed>& placed, const List<std::size_t>& starts,
                               const std::int64_t* cell) {
    std::size_t low = 0, high = starts.size() - 1;  // cells [low, high) may hold it
    while (low < high) {
      const std::size_t middle = low + (high - low) / 2;
      if (cell_before(placed[starts[middle]].cell, cell)) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    if (low + 1 < starts.size() && !cell_before(cell, placed[starts[low]].cell)) return low;
    return SIZE_MAX;
  }

  double squared_distance(std::size_t i, std::size_t j) const {
    const base::Point3 &a = points_[i], &b = points_[j];
    const double dx = double{a.x} - b.x, dy = double{a.y} - b.y, dz = double{a.z} - b.z;
    return (dx * dx + dy * dy) + dz * dz;
  }

  // (1 - max(d, d_min) / R)^8 for the pair, the same either way round.
  double weight(std::size_t i, std::size_t j) const {
    const double d = std::max(std::sqrt(squared_distance(i, j)), limit_);
    const double t = 1.0 - d / radius_;
    const double t2 = t * t, t4 = t2 * t2;
    return t4 * t4;
  }

  // The heap's first item is removed next: the heaviest, of equal weights the higher index.
  bool before(std::uint32_t a, std::uint32_t b) const {
    return weight_[a] > weight_[b] || (weight_[a] == weight_[b] && a > b);
  }

  void sift_down(std::size_t h) {
    const std::uint32_t item = heap_[h];
    while (true) {
      std::size_t child = 2 * h + 1;
      if (child >= heap_size_) break;
      if (child + 1 < heap_size_ && before(heap_[child + 1], heap_[child])) ++child;
      if (!before(heap_[child], item)) break;
      heap_[h] = heap_[child];
      place_[heap_[h]] = static_cast<std::uint32_t>(h);
      h = child;
    }
    heap_[h] = item;
    place_[item] = static_cast<std::uint32_t>(h);
  }

  std::span<const base::Point3> points_;
  double radius_;
  double limit_ = 0.0;
  List<std::size_t> first_;
  List<std::uint32_t> neighbours_;
  List<double> weight_;
  List<std::uint32_t> heap_, place_;
  std::size_t heap_size_ = 0;
};

}  // namespace

void eliminate_samples(std::span<const base::Point3> points, double area,
                       std::span<std::uint64_t> kept) {
  if (kept.size() > points.size() || points.size() > UINT32_MAX) {
    base::raise_fault("sample elimination asked to keep more points than it has");
  }
  if (kept.size() == points.size()) {
    std::iota(kept.begin(), kept.end(), std::uint64_t{0});
    return;
  }
  if (kept.empty()) return;
  Elimination elimination(points, area, kept.size());
  elimination.run(kept);
}

}  // namespace vertisift::spread
