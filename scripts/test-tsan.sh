#!/usr/bin/env bash
# Builds the C++ tests that drive the worker pool, the sharded map, the block reading with its
# merge, the OBJ reader's parts, the ray tree's build and queries, and the whole driver with
# ThreadSanitizer, and runs them once per pool
# size (the size is read from RAYON_NUM_THREADS once per process), from one worker to more
# workers than items and than processors. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(realpath "${1:-.venv}")
build=${2:-build/tsan}
export PATH="$venv/bin:$PATH"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVERTISIFT_TSAN=ON \
  -DVERTISIFT_BUILD_TESTS=ON -DPython_EXECUTABLE="$venv/bin/python" > /dev/null
cmake --build "$build" -j "${JOBS:-2}" --target thread_pool_test sharded_map_test pipeline_test \
  vertex_merge_test obj_reader_test farthest_point_test sample_elimination_test triangle_bvh_test \
  visible_sampling_test
export TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 second_deadlock_stack=1"
for size in 1 2 3 8 33; do
  echo "== RAYON_NUM_THREADS=$size"
  for test in thread_pool_test sharded_map_test pipeline_test vertex_merge_test obj_reader_test \
      farthest_point_test sample_elimination_test triangle_bvh_test visible_sampling_test; do
    # A pass that deadlocks fails the run instead of hanging it.
    RAYON_NUM_THREADS=$size timeout 600 "$build/tests/cpp/$test" --gtest_brief=1
  done
done
