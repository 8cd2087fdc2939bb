#include "reduce/cell_representatives.h"

#include "parallel/thread_pool.h"
#include "reduce/random.h"

namespace vertisift::reduce {

void assign_to_cells(const std::vector<PointWithNormal>& points, const BoundingBox& box,
                     std::uint64_t resolution, CellMap& cells) {
  parallel::parallel_for(points.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const PointWithNormal& item = points[i];
      cells.upsert(cell_key(item.position, box, resolution),
                   [&](std::vector<PointWithNormal>& list) {
                     if (list.capacity() == 0) list.reserve(4);
                     list.push_back(item);
                   });
    }
  });
}

std::vector<PointWithNormal> pick_representatives(const CellMap& cells) {
  std::vector<PointWithNormal> representatives;
  cells.for_each([&](CellKey, const std::vector<PointWithNormal>& list) {
    if (representatives.capacity() == 0) representatives.reserve(4);
    ThreadRng& rng = thread_rng();
    representatives.push_back(list[uniform_index(rng, list.size())]);
  });
  return representatives;
}

}  // namespace vertisift::reduce
