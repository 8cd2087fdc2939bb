#include "mesh_io/ordered_parse.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vertisift::mesh_io {
namespace {

struct Chunk {
  std::string text;
  std::string parsed;  // the text, upper-cased by the parse
  std::size_t bytes() const { return text.size(); }
};

// The jobs run backwards on the calling thread, or each on a thread of its own.
void run_backwards(std::size_t jobs, const std::function<void(std::size_t)>& job) {
  for (std::size_t i = jobs; i-- > 0;) job(i);
}
void run_on_threads(std::size_t jobs, const std::function<void(std::size_t)>& job) {
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < jobs; ++i) threads.emplace_back(job, i);
  for (std::thread& thread : threads) thread.join();
}

struct Outcome {
  std::string joined;               // the parsed texts, in the order of their joins
  std::optional<std::string> stop;  // the first stop's chunk
  std::size_t passes = 0;           // calls of the runner
};

// Chunks "a" to "h" through batches of three; a join stops at the chunk `stop_at`, and the
// reading ends at the first stop, as a reader's does.
Outcome read(JoinSchedule schedule, const JobRunner& runner, std::size_t small_batch_bytes,
             char stop_at) {
  Outcome outcome;
  OrderedParse<Chunk, std::optional<std::string>> parse(
      3, schedule,
      [&](std::size_t jobs, const std::function<void(std::size_t)>& job) {
        ++outcome.passes;
        runner(jobs, job);
      },
      [](Chunk& chunk) {
        chunk.parsed = chunk.text;
        for (char& c : chunk.parsed) c = static_cast<char>(c - 'a' + 'A');
      },
      [&](Chunk& chunk) -> std::optional<std::string> {
        outcome.joined += chunk.parsed;
        if (chunk.text[0] == stop_at) return chunk.parsed;
        return std::nullopt;
      },
      small_batch_bytes);
  for (char c = 'a'; c <= 'h' && !outcome.stop; ++c) {
    parse.next().text.assign(2, c);
    outcome.stop = parse.add();
  }
  if (!outcome.stop) outcome.stop = parse.flush();
  return outcome;
}

// Whatever order or threads the jobs run in, the chunks are joined in file order, each once,
// and the first stop in file order ends the reading: no chunk after it is joined.
TEST(OrderedParse, JoinsInFileOrderUpToTheFirstStop) {
  for (const JoinSchedule schedule : {JoinSchedule::AfterParse, JoinSchedule::BesideNextParse}) {
    for (const JobRunner& runner : {JobRunner(run_backwards), JobRunner(run_on_threads)}) {
      const Outcome whole = read(schedule, runner, 0, 0);
      EXPECT_EQ(whole.joined, "AABBCCDDEEFFGGHH");
      EXPECT_EQ(whole.stop, std::nullopt);
      for (const char stop_at : {'a', 'c', 'e', 'h'}) {
        const Outcome stopped = read(schedule, runner, 0, stop_at);
        const std::string upper(2, static_cast<char>(stop_at - 'a' + 'A'));
        EXPECT_EQ(stopped.joined, whole.joined.substr(0, whole.joined.find(upper) + 2));
        EXPECT_EQ(stopped.stop, upper);
      }
    }
  }
}

// A batch of fewer bytes than the bound runs its jobs on the calling thread, never through the
// runner; the batches are of 6, 6 and 4 bytes (and, beside the next parse, an empty one that
// joins the last).
TEST(OrderedParse, SmallBatchesStayOnTheCallingThread) {
  EXPECT_EQ(read(JoinSchedule::BesideNextParse, run_on_threads, 7, 0).passes, 0u);
  EXPECT_EQ(read(JoinSchedule::BesideNextParse, run_on_threads, 6, 0).passes, 2u);
  EXPECT_EQ(read(JoinSchedule::AfterParse, run_on_threads, 5, 0).passes, 2u);
  EXPECT_EQ(read(JoinSchedule::AfterParse, run_on_threads, 0, 0).passes, 3u);
}

}  // namespace
}  // namespace vertisift::mesh_io
