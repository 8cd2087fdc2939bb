// The process-wide worker pool.
//
// One pool per process, its workers started by the first pass that needs them and kept until
// the process ends (a forked child gets a fresh one on its first pass). Its size is fixed at
// creation from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the processor count. A pass hands
// the pool one job: `count` items cut into contiguous chunks, which the workers take in turn. The
// calling thread blocks until every chunk is done and does no share of the work. A pass that
// makes one chunk (one item, or none) runs directly on the calling thread, and so does every
// pass posted under a SequentialPasses scope: work too small to gain from the workers never
// starts them. The chunks are the same either way, so is every result. When several threads post
// passes at once, the passes share the workers, each cut into the chunks it would have alone,
// so no result depends on the share a pass got. A fault thrown by a chunk ends the pass and
// is rethrown on the thread that posted it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <source_location>
#include <string>
#include <system_error>
#include <vector>

#include "base/fault.h"

namespace vertisift::parallel {

inline constexpr std::size_t MAX_POOL_SIZE = 65535;

// The system refused to start a worker thread (no address space left for its stack, or a
// limit on threads): thrown by the pass that starts the pool, after the workers it had
// started are joined, and without the diagnostic of raise_fault. An internal fault whose text,
// "could not start a worker thread: <reason>", is what the extension always reported; the
// tools report description() instead, e.g. "cannot start the 64 worker threads: Resource
// temporarily unavailable (RAYON_NUM_THREADS=64)".
class ThreadStartFailure : public base::InternalFault {
 public:
  ThreadStartFailure(const std::system_error& error, std::size_t threads, const std::string& origin,
                     std::source_location where = std::source_location::current());
  const std::string& description() const { return description_; }
  const std::source_location& where() const { return where_; }

 private:
  std::string description_;
  std::source_location where_;
};

// The number of logical processors the system reports, or 0 when it reports none.
std::size_t logical_processors();

// The pool size that the two variables' values (null when unset) and `processors` give:
// a variable counts when it is an unsigned decimal integer with an optional leading "+";
// RAYON_NUM_THREADS >= 1 is the size and 0 selects the default at once; otherwise
// RAYON_RS_NUM_CPUS >= 1; otherwise `processors`, or 1 when that is 0. Capped at 65535.
std::size_t pool_size_from_env(const char* num_threads, const char* rs_num_cpus,
                               std::size_t processors);

// Runs `task(chunk, begin, end)` over the contiguous chunks that cover [0, count); chunk i
// covers items before those of chunk i + 1. Uses chunk_count(count, max_chunks) chunks.
// Creates the pool on first use.
using ChunkTask = std::function<void(std::size_t chunk, std::size_t begin, std::size_t end)>;
void run_chunks(std::size_t count, const ChunkTask& task, std::size_t max_chunks = SIZE_MAX);

// Fewer faces or points than this are handled on the calling thread: waking the workers and
// waiting for them costs more than such a pass. Kept low so that a mesh of a few hundred faces
// still runs on the workers, as the tests of the concurrent paths need.
inline constexpr std::size_t SMALL_PASS_ITEMS = 32;

// While an active scope exists, the passes this thread posts run their chunks in order on
// this thread. A driver opens one for inputs too small to gain from the workers.
class SequentialPasses {
 public:
  explicit SequentialPasses(bool active);
  ~SequentialPasses();
  SequentialPasses(const SequentialPasses&) = delete;
  SequentialPasses& operator=(const SequentialPasses&) = delete;

 private:
  bool active_;
};

// The number of chunks run_chunks cuts `count` items into: a few per worker, at most
// `max_chunks`, at most `count`.
std::size_t chunk_count(std::size_t count, std::size_t max_chunks = SIZE_MAX);

// The pool's size (fixed when first asked; no worker is started for it).
std::size_t pool_size();

// fn(begin, end) over contiguous ranges covering [0, count).
template <class Fn>
void parallel_for(std::size_t count, Fn&& fn) {
  if (count <= 1) {
    if (count == 1) fn(std::size_t{0}, std::size_t{1});
    return;
  }
  run_chunks(count, [&](std::size_t, std::size_t begin, std::size_t end) { fn(begin, end); });
}

// Folds each contiguous range from a copy of `identity` with fold(accumulator, begin, end),
// then combines the partial results left to right with combine(left, right&&).
template <class T, class Fold, class Combine>
T parallel_reduce(std::size_t count, const T& identity, Fold&& fold, Combine&& combine) {
  if (count <= 1) {
    T result = identity;
    if (count == 1) fold(result, std::size_t{0}, std::size_t{1});
    return result;
  }
  std::vector<T> partials(chunk_count(count), identity);
  run_chunks(count, [&](std::size_t chunk, std::size_t begin, std::size_t end) {
    fold(partials[chunk], begin, end);
  });
  T result = std::move(partials[0]);
  for (std::size_t i = 1; i < partials.size(); ++i) combine(result, std::move(partials[i]));
  return result;
}

}  // namespace vertisift::parallel
