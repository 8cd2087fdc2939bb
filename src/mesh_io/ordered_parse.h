// OrderedParse: a text parsed in chunks at once, with the outcome of parsing it in file order.
//
// A reader cuts its text into chunks where its grammar allows (at line ends) and fills them in
// file order (next(), then add()). A pass parses the chunks of a batch, each on its own, one job
// a chunk through the reader's JobRunner (perhaps on several threads at once), and joins them
// strictly in file order, one at a time: a join takes a chunk's results into the reader's whole
// and says whether the reading stops there (an error, the end of the data). The first chunk in
// file order whose join stops decides: no chunk after it is joined. Chunks are used again batch
// after batch, so what they hold keeps its room.
//
// JoinSchedule::AfterParse joins a batch on the calling thread once it is parsed (one batch
// held). JoinSchedule::BesideNextParse joins it while the next batch is parsed, as one more job
// of that pass (two batches held; the joins run in order on whichever thread takes that job).
// A batch of fewer than `small_batch_bytes` bytes runs its jobs in order on the calling thread.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace vertisift::mesh_io {

// Runs job(i) for every i in [0, jobs), perhaps on several threads at once, and returns when
// all are done; a fault thrown by a job is rethrown here.
using JobRunner =
    std::function<void(std::size_t jobs, const std::function<void(std::size_t)>& job)>;

enum class JoinSchedule { AfterParse, BesideNextParse };

// Chunk: default-constructible, with bytes(), the size of its text. Stop: what a join returns,
// false when the reading goes on (a ReadStatus, say); a value-initialised Stop goes on.
template <class Chunk, class Stop>
class OrderedParse {
 public:
  using Parse = std::function<void(Chunk&)>;
  using Join = std::function<Stop(Chunk&)>;

  OrderedParse(std::size_t batch_chunks, JoinSchedule schedule, JobRunner run, Parse parse,
               Join join, std::size_t small_batch_bytes = 0)
      : schedule_(schedule),
        run_(std::move(run)),
        parse_(std::move(parse)),
        join_(std::move(join)),
        small_batch_bytes_(small_batch_bytes) {
    batches_[0].resize(batch_chunks);
    if (schedule == JoinSchedule::BesideNextParse) batches_[1].resize(batch_chunks);
  }

  // The next chunk of the batch being filled; what it held before is the reader's to clear.
  Chunk& next() { return batches_[current_][filled_]; }

  // The chunk from next() holds its text: runs a pass once the batch is full.
  [[nodiscard]] Stop add() {
    if (++filled_ < batches_[current_].size()) return Stop{};
    return pass();
  }

  // Parses and joins every chunk added so far; the first stop among them, if any.
  [[nodiscard]] Stop flush() {
    if (schedule_ == JoinSchedule::AfterParse) return pass();
    if (Stop stop = pass()) return stop;
    return pass();  // the batch just parsed, which the first pass left waiting
  }

 private:
  Stop pass() {
    std::vector<Chunk>& parsed = batches_[current_];
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < filled_; ++i) bytes += parsed[i].bytes();
    Stop stop{};
    if (schedule_ == JoinSchedule::AfterParse) {
      if (filled_ == 0) return stop;
      run(
          filled_, [&](std::size_t i) { parse_(parsed[i]); }, bytes);
      for (std::size_t i = 0; i < filled_ && !stop; ++i) stop = join_(parsed[i]);
      filled_ = 0;
      return stop;
    }
    std::vector<Chunk>& waiting = batches_[1 - current_];
    // Job 0 joins the batch before, in order; job i parses chunk i - 1.
    run(
        filled_ + 1,
        [&](std::size_t i) {
          if (i != 0) {
            parse_(parsed[i - 1]);
            return;
          }
          for (std::size_t k = 0; k < waiting_ && !stop; ++k) stop = join_(waiting[k]);
        },
        bytes);
    waiting_ = filled_;
    filled_ = 0;
    current_ = 1 - current_;
    return stop;
  }

  void run(std::size_t jobs, const std::function<void(std::size_t)>& job, std::size_t bytes) {
    if (bytes < small_batch_bytes_) {
      for (std::size_t i = 0; i < jobs; ++i) job(i);
      return;
    }
    run_(jobs, job);
  }

  const JoinSchedule schedule_;
  const JobRunner run_;
  const Parse parse_;
  const Join join_;
  const std::size_t small_batch_bytes_;
  std::vector<Chunk> batches_[2];
  std::size_t current_ = 0;  // the batch being filled
  std::size_t filled_ = 0;   // its chunks that hold text
  std::size_t waiting_ = 0;  // parsed chunks of the other batch, not yet joined
};

}  // namespace vertisift::mesh_io
