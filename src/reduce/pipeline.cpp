#include "reduce/pipeline.h"

#include <new>
#if VERTISIFT_STAGE_TIMES
#include <chrono>
#include <cstdio>
#endif

#include "base/thread_storage.h"
#include "parallel/thread_pool.h"
#include "random/thread_rng.h"
#include "reduce/cell_representatives.h"
#include "reduce/count_adjustment.h"
#include "reduce/grid.h"
#include "reduce/point_with_normal.h"
#include "reduce/vertex_merge.h"
#include "stl/stl_reader.h"

namespace vertisift::reduce {
namespace {

// Wall-clock time of each stage of one reduction, in seconds (all zero unless built with
// VERTISIFT_STAGE_TIMES).
struct StageTimes {
  double read = 0, normals = 0, grid = 0, cells = 0, adjust = 0, split = 0;
};

// Measures the stages only in builds made for benchmarking.
class StageClock {
 public:
  void lap([[maybe_unused]] double& slot) {
#if VERTISIFT_STAGE_TIMES
    auto now = std::chrono::steady_clock::now();
    slot = std::chrono::duration<double>(now - last_).count();
    last_ = now;
#endif
  }

 private:
#if VERTISIFT_STAGE_TIMES
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
#endif
};

}  // namespace

ReducedPoints split_selection(const PointList& selection) {
  ReducedPoints result;
  result.positions.resize(selection.size());
  result.normals.resize(selection.size());
  parallel::parallel_for(selection.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      result.positions[i] = selection[i].position;
      result.normals[i] = selection[i].normal;
    }
  });
  return result;
}

ReduceOutcome reduce_stl_points(const mesh_io::PathText& path, std::uint64_t clusters,
                                std::uint64_t result_limit) {
  base::prepare_thread_storage();
  StageTimes times;
  StageClock clock;
  // Reading, merging and the normal sums are one stage: the faces go to the merge in blocks
  // as they are read, and no face table is ever built.
  PointList points;
  {
    VertexMerge merge;
    if (auto failure = stl::read_stl_blocks(path, merge)) {
      return std::move(*failure);
    }
    if (merge.face_count() != 0 && clusters > result_limit) throw std::bad_alloc();
    clock.lap(times.read);
    points = merge.take_points();
  }
  clock.lap(times.normals);
  const parallel::SequentialPasses small(points.size() < parallel::SMALL_PASS_ITEMS &&
                                         clusters < parallel::SMALL_PASS_ITEMS);

  const BoundingBox box = compute_bounding_box(points);
  const std::uint64_t resolution = grid_resolution(clusters);
  clock.lap(times.grid);

  PointList selection;
  {
    CellMap cells;
    assign_to_cells(points, box, resolution, cells);
    const auto point_at = [&](std::uint64_t index) { return points[index]; };
    PointList representatives =
        pick_representatives<PointList>(cells, CellOrder::Map, random::thread_rng(), point_at);
    clock.lap(times.cells);
    selection = adjust_count(std::move(representatives), clusters, points.size(),
                             random::thread_rng(), point_at);
    clock.lap(times.adjust);
  }
  points = {};

  ReducedPoints result = split_selection(selection);
  clock.lap(times.split);
#if VERTISIFT_STAGE_TIMES
  // Benchmark builds only: one line per call, read by bench/run.py. The released module must
  // not grow an attribute for it.
  std::fprintf(stderr,
               "vertisift-stages read=%.9f normals=%.9f grid=%.9f cells=%.9f adjust=%.9f "
               "split=%.9f\n",
               times.read, times.normals, times.grid, times.cells, times.adjust, times.split);
#endif
  return result;
}

}  // namespace vertisift::reduce
