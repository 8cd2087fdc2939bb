#include "spread/sample_elimination.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/big_alloc.h"
#include "base/fault.h"
#include "parallel/thread_pool.h"

namespace vertisift::spread {
namespace {

template <class T>
using List = std::vector<T, base::BigAllocator<T>>;

constexpr double LIMIT_SHARE = 0.65;  // d_min = LIMIT_SHARE R (1 - (keep/m)^1.5)
constexpr double SQRT3 = 1.7320508075688772;
// Cell coordinates take 21 bits each, so that a cell is one 63-bit key; a sample spread so
// far that more would be needed only shares cells more.
constexpr unsigned CELL_BITS = 21;
constexpr double CELL_LIMIT = double{(1u << CELL_BITS) - 1};

// A point closer than R, and how far: the same float either way round, so that a pair
// weighs the same from both ends.
struct Neighbour {
  std::uint32_t index;
  float distance;
};

// (1 - max(d, limit) / R)^8.
double falloff(float distance, double limit, double radius) {
  const double t = 1.0 - std::max(double{distance}, limit) / radius;
  const double t2 = t * t, t4 = t2 * t2;
  return t4 * t4;
}

// The weights of points seen from one point: falloff() of their distance rounded to float, and
// +0.0 for a point at R or farther. Two at a time in the lanes of SSE2 where the processor
// has it: each lane does the scalar operations in their order, rounded alike, so the
// weights are the same bits (a lane beyond R, where the distance may round to infinity, is
// masked to +0.0).
class Weigher {
 public:
  Weigher(const base::Point3& own, double reach, double limit, double radius)
      : x_(own.x), y_(own.y), z_(own.z), reach_(reach), limit_(limit), radius_(radius) {}

  double one(const base::Point3& p) const {
    const double dx = x_ - p.x, dy = y_ - p.y, dz = z_ - p.z;
    const double squared = (dx * dx + dy * dy) + dz * dz;
    return squared < reach_ ? falloff(static_cast<float>(std::sqrt(squared)), limit_, radius_)
                            : 0.0;
  }

  void two(const base::Point3* p, double* weights) const {
#if defined(__SSE2__)
    const __m128d dx = _mm_sub_pd(_mm_set1_pd(x_), _mm_set_pd(p[1].x, p[0].x));
    const __m128d dy = _mm_sub_pd(_mm_set1_pd(y_), _mm_set_pd(p[1].y, p[0].y));
    const __m128d dz = _mm_sub_pd(_mm_set1_pd(z_), _mm_set_pd(p[1].z, p[0].z));
    const __m128d squared =
        _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
    const __m128d distance = _mm_cvtps_pd(_mm_cvtpd_ps(_mm_sqrt_pd(squared)));
    const __m128d t =
        _mm_sub_pd(_mm_set1_pd(1.0),
                   _mm_div_pd(_mm_max_pd(distance, _mm_set1_pd(limit_)), _mm_set1_pd(radius_)));
    const __m128d t2 = _mm_mul_pd(t, t), t4 = _mm_mul_pd(t2, t2);
    _mm_storeu_pd(weights,
                  _mm_and_pd(_mm_mul_pd(t4, t4), _mm_cmplt_pd(squared, _mm_set1_pd(reach_))));
#else
    weights[0] = one(p[0]);
    weights[1] = one(p[1]);
#endif
  }

 private:
  double x_, y_, z_, reach_, limit_, radius_;
};

constexpr std::size_t AROUND = 27;  // the cells around a cell, its own among them
// A removal whose cells hold more points than this lowers their weights on the pool.
constexpr std::size_t POOL_CANDIDATES = 4096;

// Design: the points sorted into cells of side R (each cell one 63-bit key, its points in
// index order), and for each occupied cell the occupied cells of the 27 around it. A point's
// neighbours are the points closer than R in those cells, visited in the order of the cells
// and, within a cell, of the indices, and every weight is summed in that order. When the cells
// around the points hold at most `budget` pairs, each point's neighbours and their distances
// are found once and stored (CSR) and the cells freed. Otherwise nothing is stored per pair:
// with many more candidates than points kept the pairs grow as m²/keep (a cube, 5 of 100,000
// points, every point a neighbour of every other, 80 GB of lists), so every pass measures the
// neighbours in the cells again, in the same order and with the same roundings. Memory then
// stays linear in m, and the points kept are those the stored lists give.
class Elimination {
 public:
  Elimination(std::span<const base::Point3> points, double area, std::size_t keep,
              std::uint64_t budget)
      : points_(points), radius_(std::sqrt(2.0 * area / (SQRT3 * static_cast<double>(keep)))) {
    const double ratio = static_cast<double>(keep) / static_cast<double>(points.size());
    limit_ = radius_ * LIMIT_SHARE * (1.0 - ratio * std::sqrt(ratio));
    reach_ = radius_ * radius_;
    place_in_cells();
    if (candidate_pairs() <= budget) store_neighbours();
  }

  // Removes points until `keep` remain with weights limited, and lists those in increasing
  // order. When two of them lie closer than the limit, which weight limiting cannot tell
  // from pairs at the limit, it removes them again without, and keeps the set whose closest
  // pair lies farther apart (the limited one when they tie).
  void run(std::span<std::uint64_t> kept) {
    List<bool> limited = eliminate(kept.size(), limit_);
    const double closest = closest_pair(limited);
    List<bool> plain;
    if (closest < limit_) plain = eliminate(kept.size(), 0.0);
    const List<bool>& best = closest < limit_ && closest_pair(plain) > closest ? plain : limited;
    std::size_t out = 0;
    for (std::size_t i = 0; i < points_.size(); ++i) {
      if (!best[i]) kept[out++] = i;
    }
  }

 private:
  // Which points go (true) when the heaviest is removed until `keep` remain, of equal
  // weights the higher index, distances below `limit` counting as `limit`. Weights only
  // fall, so the heap keeps each point's weight as it was when the point went in: a point
  // that comes out at a weight it no longer has goes back in at its own, and one that comes
  // out at its own weight is the heaviest, since no other weighs more than its entry.
  List<bool> eliminate(std::size_t keep, double limit) const {
    const std::size_t count = points_.size();
    List<double> weights(count);
    std::vector<std::uint64_t> heap(count);
    // Read from the lists, the weights take less than waking the workers would; measured in
    // the cells, far more.
    const auto weigh = [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        double sum = 0.0;
        if (stored_) {
          for (std::size_t n = first_[i]; n < first_[i + 1]; ++n) {
            sum += weight(neighbours_[n].distance, limit);
          }
        } else {
          sum = weight_around(i, limit);
        }
        weights[i] = sum;
        heap[i] = heap_key(sum, i);
      }
    };
    if (stored_) {
      weigh(0, count);
    } else {
      parallel::parallel_for(count, weigh);
    }
    std::make_heap(heap.begin(), heap.end());
    List<bool> removed(count, false);
    Staying staying;
    if (!stored_) {
      staying.points.assign(sorted_.begin(), sorted_.end());
      staying.index.assign(sorted_index_.begin(), sorted_index_.end());
      staying.place.resize(count);
      for (std::size_t s = 0; s < count; ++s) {
        staying.place[sorted_index_[s]] = static_cast<std::uint32_t>(s);
      }
      staying.ends.assign(starts_.begin() + 1, starts_.end());
    }
    for (std::size_t left = count; left > keep;) {
      std::pop_heap(heap.begin(), heap.end());
      const std::uint64_t entered = heap.back();
      const auto gone = static_cast<std::uint32_t>(entered);
      const std::uint64_t now = heap_key(weights[gone], gone);
      if (entered != now) {
        heap.back() = now;
        std::push_heap(heap.begin(), heap.end());
        continue;
      }
      heap.pop_back();
      removed[gone] = true;
      --left;
      if (stored_) {
        for (std::size_t n = first_[gone]; n < first_[gone + 1]; ++n) {
          const Neighbour& near = neighbours_[n];
          if (!removed[near.index]) weights[near.index] -= weight(near.distance, limit);
        }
        continue;
      }
      // Each neighbour's weight is its own: the order in which they are lowered, or the
      // workers that lower them, change nothing.
      staying.remove(gone, cell_of_[gone]);
      const std::size_t around = staying.around(&around_[cell_of_[gone] * AROUND], starts_);
      if (around < POOL_CANDIDATES) {
        lower_around(gone, 0, around, staying, weights.data(), limit);
      } else {
        parallel::parallel_for(around, [&](std::size_t begin, std::size_t end) {
          lower_around(gone, begin, end, staying, weights.data(), limit);
        });
      }
    }
    return removed;
  }

  // The points that stay, while the lists are not stored: each cell's in the run of the cell
  // order from starts_[c] to ends[c], in no order (a removed point's place goes to the run's
  // last), so that a removal reads only the points it lowers.
  struct Staying {
    List<base::Point3> points;
    List<std::uint32_t> index;
    List<std::uint32_t> place;  // each point's place in the runs
    List<std::size_t> ends;

    void remove(std::uint32_t point, std::size_t cell) {
      const std::size_t at = place[point], last = --ends[cell];
      points[at] = points[last];
      index[at] = index[last];
      place[index[at]] = static_cast<std::uint32_t>(at);
    }

    // How many stay in the cells `around` (AROUND of them, SIZE_MAX none).
    std::size_t around(const std::size_t* cells, const List<std::size_t>& starts) const {
      std::size_t total = 0;
      for (std::size_t k = 0; k < AROUND; ++k) {
        if (cells[k] != SIZE_MAX) total += ends[cells[k]] - starts[cells[k]];
      }
      return total;
    }
  };

  // A point's place in the heap: its weight rounded to float (0 if rounding made it negative)
  // above its index, so that one integer comparison orders by weight, then index. Rounding
  // only merges weights, never reverses two, and falling weights never rise in it.
  static std::uint64_t heap_key(double weight, std::size_t index) {
    const float rounded = weight > 0.0 ? static_cast<float>(weight) : 0.0f;
    return (std::uint64_t{std::bit_cast<std::uint32_t>(rounded)} << 32) | index;
  }

  double weight(float distance, double limit) const { return falloff(distance, limit, radius_); }

  // The smallest distance between two points that stay, or R when none are closer.
  double closest_pair(const List<bool>& removed) const {
    const auto gone = [&](std::uint32_t index) { return bool{removed[index]}; };
    const auto fold = [&](double& closest, std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        if (removed[i]) continue;
        each_neighbour(i, gone, [&](std::uint32_t, float distance) {
          closest = std::min(closest, double{distance});
        });
      }
    };
    double closest = radius_;
    if (stored_) {
      fold(closest, 0, points_.size());
      return closest;
    }
    return parallel::parallel_reduce(
        points_.size(), closest, fold,
        [](double& left, double&& right) { left = std::min(left, right); });
  }

  // visit(j, distance) for each neighbour j of point i in order, but those for which
  // skip(j), which are not measured.
  template <class Skip, class Visit>
  void each_neighbour(std::size_t i, const Skip& skip, const Visit& visit) const {
    if (!stored_) {
      scan(i, skip, visit);
      return;
    }
    for (std::size_t n = first_[i]; n < first_[i + 1]; ++n) {
      const Neighbour& near = neighbours_[n];
      if (!skip(near.index)) visit(near.index, near.distance);
    }
  }

  // The same visit over the points in the cells around point i's, cell after cell: each is
  // measured as the stored lists measure it.
  template <class Skip, class Visit>
  void scan(std::size_t i, const Skip& skip, const Visit& visit) const {
    const base::Point3& own = points_[i];
    for (std::size_t k = 0; k < AROUND; ++k) {
      const std::size_t c = around_[cell_of_[i] * AROUND + k];
      if (c == SIZE_MAX) continue;
      for (std::size_t t = starts_[c]; t < starts_[c + 1]; ++t) {
        const std::uint32_t j = sorted_index_[t];
        if (skip(j)) continue;
        const double squared = squared_distance(own, sorted_[t]);
        if (squared < reach_ && j != i) visit(j, static_cast<float>(std::sqrt(squared)));
      }
    }
  }

  // The weight of point i as its lists would sum it, two points of a cell at a time. Every
  // point of the cells is weighed, and the ones farther than R and point i itself add +0.0,
  // which leaves the sum as it was: no branch to mispredict.
  double weight_around(std::size_t i, double limit) const {
    const Weigher weigher(points_[i], reach_, limit, radius_);
    const std::size_t* around = &around_[cell_of_[i] * AROUND];
    double sum = 0.0;
    for (std::size_t k = 0; k < AROUND; ++k) {
      if (around[k] == SIZE_MAX) continue;
      std::size_t t = starts_[around[k]];
      const std::size_t end = starts_[around[k] + 1];
      for (; t + 1 < end; t += 2) {
        double near[2];
        weigher.two(&sorted_[t], near);
        sum += sorted_index_[t] != i ? near[0] : 0.0;
        sum += sorted_index_[t + 1] != i ? near[1] : 0.0;
      }
      if (t < end) sum += sorted_index_[t] != i ? weigher.one(sorted_[t]) : 0.0;
    }
    return sum;
  }

  // Lowers the weights of the points [from, to) of those that stay around `gone` as its
  // lists would, two at a time; the ones farther than R lose +0.0, which changes none.
  void lower_around(std::size_t gone, std::size_t from, std::size_t to, const Staying& staying,
                    double* weights, double limit) const {
    const Weigher weigher(points_[gone], reach_, limit, radius_);
    const std::size_t* around = &around_[cell_of_[gone] * AROUND];
    std::size_t offset = 0;
    for (std::size_t k = 0; k < AROUND && offset < to; ++k) {
      if (around[k] == SIZE_MAX) continue;
      const std::size_t first = starts_[around[k]], size = staying.ends[around[k]] - first;
      const std::size_t end = first + std::min(to - offset, size);
      std::size_t t = first + std::min(from - std::min(from, offset), size);
      for (; t + 1 < end; t += 2) {
        double near[2];
        weigher.two(&staying.points[t], near);
        weights[staying.index[t]] -= near[0];
        weights[staying.index[t + 1]] -= near[1];
      }
      if (t < end) weights[staying.index[t]] -= weigher.one(staying.points[t]);
      offset += size;
    }
  }

  // The pairs a point and another in the cells around its own make, every point counted:
  // at most m² < 2^64, and at least the neighbour pairs.
  std::uint64_t candidate_pairs() const {
    std::uint64_t pairs = 0;
    const std::size_t cells = starts_.size() - 1;
    for (std::size_t c = 0; c < cells; ++c) {
      std::uint64_t total = 0;
      for (std::size_t k = 0; k < AROUND; ++k) {
        const std::size_t other = around_[c * AROUND + k];
        if (other != SIZE_MAX) total += starts_[other + 1] - starts_[other];
      }
      pairs += total * (starts_[c + 1] - starts_[c]);
    }
    return pairs;
  }

  // The cells of side R: each point's, the points in cell order, where each cell's begin, and
  // the occupied cells around each, found once per cell.
  void place_in_cells() {
    const std::size_t count = points_.size();
    double low[3] = {INFINITY, INFINITY, INFINITY};
    for (const base::Point3& p : points_) {
      low[0] = std::min<double>(low[0], p.x);
      low[1] = std::min<double>(low[1], p.y);
      low[2] = std::min<double>(low[2], p.z);
    }
    // Each point's cell as one key, 21 bits per axis, above its index: one sort orders the
    // points by cell, and by index within a cell.
    List<std::uint64_t> placed(count);
    for (std::size_t i = 0; i < count; ++i) {
      const double at[3] = {points_[i].x, points_[i].y, points_[i].z};
      std::uint64_t key = 0;
      for (std::size_t a = 0; a < 3; ++a) {
        const double step = std::floor((at[a] - low[a]) / radius_);
        key = (key << CELL_BITS) | static_cast<std::uint64_t>(std::clamp(step, 0.0, CELL_LIMIT));
      }
      placed[i] = key;
    }
    sorted_index_.resize(count);
    std::iota(sorted_index_.begin(), sorted_index_.end(), 0u);
    std::sort(sorted_index_.begin(), sorted_index_.end(), [&](std::uint32_t a, std::uint32_t b) {
      return placed[a] < placed[b] || (placed[a] == placed[b] && a < b);
    });
    // The occupied cells' keys, where each one's points begin in the sorted order, and each
    // point's cell.
    List<std::uint64_t> keys;
    cell_of_.resize(count);
    for (std::size_t s = 0; s < count; ++s) {
      const std::uint64_t key = placed[sorted_index_[s]];
      if (keys.empty() || keys.back() != key) {
        keys.push_back(key);
        starts_.push_back(s);
      }
      cell_of_[sorted_index_[s]] = static_cast<std::uint32_t>(keys.size() - 1);
    }
    starts_.push_back(count);
    // The points in cell order, so that a cell's are read in one run.
    sorted_.resize(count);
    for (std::size_t s = 0; s < count; ++s) sorted_[s] = points_[sorted_index_[s]];
    // A cell at the grid's edge has no cells beyond it (and a clamped coordinate shares its
    // cell with those beyond).
    const std::size_t cells = keys.size();
    around_.assign(cells * AROUND, SIZE_MAX);
    parallel::parallel_for(cells, [&](std::size_t begin, std::size_t end) {
      constexpr std::uint64_t MASK = (std::uint64_t{1} << CELL_BITS) - 1;
      for (std::size_t c = begin; c < end; ++c) {
        const std::uint64_t cell[3] = {keys[c] >> (2 * CELL_BITS), (keys[c] >> CELL_BITS) & MASK,
                                       keys[c] & MASK};
        std::size_t k = 0;
        for (std::uint64_t x = cell[0] - 1; x != cell[0] + 2; ++x) {
          for (std::uint64_t y = cell[1] - 1; y != cell[1] + 2; ++y) {
            for (std::uint64_t z = cell[2] - 1; z != cell[2] + 2; ++z, ++k) {
              if (x > MASK || y > MASK || z > MASK) continue;  // below 0 wraps past MASK
              const std::uint64_t key = (x << (2 * CELL_BITS)) | (y << CELL_BITS) | z;
              const auto found = std::lower_bound(keys.begin(), keys.end(), key);
              if (found != keys.end() && *found == key) {
                around_[c * AROUND + k] = static_cast<std::size_t>(found - keys.begin());
              }
            }
          }
        }
      }
    });
  }

  // Every pair closer than R: each point's neighbours (CSR), for ranges of points at once on
  // the pool; then the cells, which the lists replace, are freed.
  void store_neighbours() {
    const std::size_t count = points_.size();
    // Each range of points lists its neighbours apart; the lists are then joined in order.
    first_.assign(count + 1, 0);
    std::vector<List<Neighbour>> parts(parallel::chunk_count(count));
    parallel::run_chunks(count, [&](std::size_t chunk, std::size_t begin, std::size_t end) {
      List<Neighbour>& part = parts[chunk];
      std::vector<Neighbour> found;
      for (std::size_t i = begin; i < end; ++i) {
        const base::Point3& own = points_[i];
        std::size_t kept = 0;
        for (std::size_t k = 0; k < AROUND; ++k) {
          const std::size_t c = around_[cell_of_[i] * AROUND + k];
          if (c == SIZE_MAX) continue;
          if (found.size() < kept + (starts_[c + 1] - starts_[c])) {
            found.resize(2 * (kept + starts_[c + 1] - starts_[c]));
          }
          // Every point of the cell is written, and the ones closer than R kept: no branch
          // to mispredict.
          for (std::size_t t = starts_[c]; t < starts_[c + 1]; ++t) {
            const double squared = squared_distance(own, sorted_[t]);
            const std::uint32_t j = sorted_index_[t];
            found[kept] = {j, static_cast<float>(std::sqrt(squared))};
            kept += static_cast<std::size_t>(squared < reach_) & static_cast<std::size_t>(j != i);
          }
        }
        part.insert(part.end(), found.begin(), found.begin() + static_cast<std::ptrdiff_t>(kept));
        first_[i + 1] = kept;
      }
    });
    for (std::size_t i = 0; i < count; ++i) first_[i + 1] += first_[i];
    neighbours_.resize(first_[count]);
    std::size_t at = 0;
    for (const List<Neighbour>& part : parts) {
      std::copy(part.begin(), part.end(), neighbours_.begin() + static_cast<std::ptrdiff_t>(at));
      at += part.size();
    }
    stored_ = true;
    List<std::uint32_t>().swap(sorted_index_);
    List<std::uint32_t>().swap(cell_of_);
    List<std::size_t>().swap(starts_);
    List<std::size_t>().swap(around_);
    List<base::Point3>().swap(sorted_);
  }

  static double squared_distance(const base::Point3& a, const base::Point3& b) {
    const double dx = double{a.x} - b.x, dy = double{a.y} - b.y, dz = double{a.z} - b.z;
    return (dx * dx + dy * dy) + dz * dz;
  }

  std::span<const base::Point3> points_;
  double radius_;
  double limit_ = 0.0;
  double reach_ = 0.0;  // R²
  // The cells, while the neighbours are not stored.
  List<std::uint32_t> sorted_index_;  // the points in cell order, by index within a cell
  List<std::uint32_t> cell_of_;       // each point's cell
  List<std::size_t> starts_;          // where each cell's points begin, and m
  List<std::size_t> around_;          // the cells around each (AROUND a cell, SIZE_MAX none)
  List<base::Point3> sorted_;         // the points in cell order
  // The neighbours, when stored.
  bool stored_ = false;
  List<std::size_t> first_;
  List<Neighbour> neighbours_;
};

}  // namespace

void eliminate_samples(std::span<const base::Point3> points, double area,
                       std::span<std::uint64_t> kept, std::uint64_t neighbour_budget) {
  if (kept.size() > points.size() || points.size() > UINT32_MAX) {
    base::raise_fault("sample elimination asked to keep more points than it has");
  }
  if (kept.size() == points.size()) {
    std::iota(kept.begin(), kept.end(), std::uint64_t{0});
    return;
  }
  if (kept.empty()) return;
  Elimination elimination(points, area, kept.size(), neighbour_budget);
  elimination.run(kept);
}

}  // namespace vertisift::spread
