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

  // Removes points until `keep` remain, with weights limited and without, and lists in
  // increasing order the points of the set whose closest pair lies farther apart (the
  // limited one when they tie).
  void run(std::span<std::uint64_t> kept) {
    List<bool> limited = eliminate(kept.size(), limit_);
    List<bool> plain = eliminate(kept.size(), 0.0);
    const List<bool>& best = closest_pair(plain) > closest_pair(limited) ? plain : limited;
    std::size_t out = 0;
    for (std::size_t i = 0; i < points_.size(); ++i) {
      if (!best[i]) kept[out++] = i;
    }
  }

 private:
  // Which points go (true) when the heaviest is removed until `keep` remain, distances below
  // `limit` counting as `limit`.
  List<bool> eliminate(std::size_t keep, double limit) {
    const std::size_t count = points_.size();
    weight_.assign(count, 0.0);
    for (std::size_t i = 0; i < count; ++i) {
      double sum = 0.0;
      for (std::size_t n = first_[i]; n < first_[i + 1]; ++n) {
        sum += weight(i, neighbours_[n], limit);
      }
      weight_[i] = sum;
    }
    heap_.resize(count);
    place_.resize(count);
    std::iota(heap_.begin(), heap_.end(), 0u);
    for (std::size_t i = 0; i < count; ++i) place_[i] = static_cast<std::uint32_t>(i);
    heap_size_ = count;
    for (std::size_t h = count / 2; h-- > 0;) sift_down(h);

    List<bool> removed(count, false);
    for (std::size_t left = count; left > keep; --left) {
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
        weight_[j] -= weight(gone, j, limit);
        sift_down(place_[j]);
      }
    }
    return removed;
  }

  // The smallest distance between two points that stay, or R when none are closer.
  double closest_pair(const List<bool>& removed) const {
    double closest = radius_ * radius_;
    for (std::size_t i = 0; i < points_.size(); ++i) {
      if (removed[i]) continue;
      for (std::size_t n = first_[i]; n < first_[i + 1]; ++n) {
        if (!removed[neighbours_[n]])
          closest = std::min(closest, squared_distance(i, neighbours_[n]));
      }
    }
    return closest;
  }

  // Every pair closer than R: each point's neighbours in increasing order (CSR), found in
  // the 27 cells of side R around its own.
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
    // The occupied cells, where each one's points begin in `placed`, and each point's cell.
    List<std::size_t> starts;
    List<std::uint32_t> cell_of(count);
    for (std::size_t s = 0; s < count; ++s) {
      if (s == 0 || cell_before(placed[s - 1].cell, placed[s].cell)) starts.push_back(s);
      cell_of[placed[s].index] = static_cast<std::uint32_t>(starts.size() - 1);
    }
    starts.push_back(count);
    // The occupied cells around each, found once per cell.
    constexpr std::size_t AROUND = 27;
    const std::size_t cells = starts.size() - 1;
    List<std::size_t> around(cells * AROUND, SIZE_MAX);
    for (std::size_t c = 0; c < cells; ++c) {
      const std::int64_t* cell = placed[starts[c]].cell;
      std::size_t k = 0;
      for (std::int64_t dx = -1; dx <= 1; ++dx) {
        for (std::int64_t dy = -1; dy <= 1; ++dy) {
          for (std::int64_t dz = -1; dz <= 1; ++dz) {
            const std::int64_t near[3] = {cell[0] + dx, cell[1] + dy, cell[2] + dz};
            around[c * AROUND + k++] = find_cell(placed, starts, near);
          }
        }
      }
    }
    const double reach = radius_ * radius_;
    first_.assign(count + 1, 0);
    neighbours_.clear();
    List<std::uint32_t> found;
    for (std::size_t i = 0; i < count; ++i) {
      found.clear();
      for (std::size_t k = 0; k < AROUND; ++k) {
        const std::size_t c = around[cell_of[i] * AROUND + k];
        if (c == SIZE_MAX) continue;
        for (std::size_t t = starts[c]; t < starts[c + 1]; ++t) {
          const std::uint32_t j = placed[t].index;
          if (j != i && squared_distance(i, j) < reach) found.push_back(j);
        }
      }
      std::sort(found.begin(), found.end());
      neighbours_.insert(neighbours_.end(), found.begin(), found.end());
      first_[i + 1] = neighbours_.size();
    }
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

  // (1 - max(d, limit) / R)^8 for the pair, the same either way round.
  double weight(std::size_t i, std::size_t j, double limit) const {
    const double d = std::max(std::sqrt(squared_distance(i, j)), limit);
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
