#include "reduce/count_adjustment.h"

#include <new>
#include <utility>

#include "random/thread_rng.h"
#include "random/uniform.h"

namespace vertisift::reduce {

PointList adjust_count(PointList representatives, const PointList& points, std::uint64_t clusters) {
  random::ThreadRng& rng = random::thread_rng();
  PointList& selection = representatives;
  if (selection.size() > clusters) {
    // The whole sequence is shuffled before the cut, so every subset and order is equally
    // likely however few items are kept.
    for (std::size_t i = selection.size() - 1; i >= 1; --i) {
      const std::uint64_t j = random::uniform_index(rng, i + 1);
      std::swap(selection[i], selection[j]);
    }
    selection.resize(clusters);
  } else if (!points.empty()) {
    // Room for the final count at once: a count beyond memory fails here, before anything is
    // drawn, instead of after growing the selection step by step.
    if (clusters > selection.max_size()) throw std::bad_alloc();
    selection.reserve(clusters);
    while (selection.size() < clusters) {
      selection.push_back(points[random::uniform_index(rng, points.size())]);
    }
  }
  return std::move(selection);
}

}  // namespace vertisift::reduce
