#include "parallel/thread_pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "base/fault.h"
#include "base/fork_epoch.h"
#include "base/thread_storage.h"

namespace vertisift::parallel {
namespace {

// Chunks per worker: more than one evens out uneven chunks; few enough that per-chunk
// partial results stay cheap to combine.
constexpr std::size_t CHUNKS_PER_WORKER = 4;

// Passes posted from this thread while a SequentialPasses scope is active on it.
thread_local std::size_t sequential_depth = 0;

// Parses an unsigned decimal with an optional leading '+'; false for anything else,
// including blanks and values beyond 64 bits.
bool parse_count(const char* text, std::size_t& value) {
  if (text == nullptr) return false;
  const char* at = text;
  if (*at == '+') ++at;
  if (*at == '\0') return false;
  std::size_t result = 0;
  for (; *at != '\0'; ++at) {
    if (*at < '0' || *at > '9') return false;
    auto digit = static_cast<std::size_t>(*at - '0');
    if (result > (SIZE_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  value = result;
  return true;
}

// The pool.
//
// Layout: `workers_` threads wait on `wake_` until a job in `jobs_` has a chunk left to claim.
// A Job is one pass, held on the caller's stack: the task, the item count and the chunk count,
// with atomic counters. A worker attaches to a job (`attached`, under `mutex_`), claims chunks
// with `next_chunk` until none is left, counts each off with `chunks_left`, and detaches under
// `mutex_`. The caller returns only when every chunk is counted off and every attached worker
// has detached; it unlinks the job in the same critical section, so no worker can attach
// later. When a pass returns, then, no worker refers to it or does anything but wait: the Job
// can live on the caller's stack, and a fork() right after a call never catches a worker
// inside the allocator or any other library lock. `mutex_` guards `jobs_`, `stopping_`,
// `ready_`, `unserved_`'s changes and each Job's `attached`, `fault` and `next_job`.
//
// Several threads may post passes at once (calls that released the interpreter lock, beside
// one that holds it). They share the workers: a worker takes the job with the fewest workers
// attached, and after each chunk, while some job has none (`unserved_`), a worker that shares
// its job with another moves over. Each pass keeps its own chunks, cut as they would be alone,
// so what a pass computes never depends on the share of the workers it got. A waiting caller
// only sleeps; it never runs work of its own or of another caller's pass.
struct Job {
  const ChunkTask* task = nullptr;
  std::size_t count = 0;
  std::size_t chunks = 0;
  std::atomic<std::size_t> next_chunk{0};
  std::atomic<std::size_t> chunks_left{0};
  std::atomic<bool> failed{false};
  std::size_t attached = 0;  // guarded by the pool's mutex_
  std::exception_ptr fault;  // guarded by the pool's mutex_
  Job* next_job = nullptr;   // guarded by the pool's mutex_: the next job in progress

  bool claimable() const { return next_chunk.load(std::memory_order_relaxed) < chunks; }
  bool finished() const {
    return attached == 0 && chunks_left.load(std::memory_order_acquire) == 0;
  }
};

// The pool's size and where it came from, for messages: "RAYON_NUM_THREADS=64",
// "RAYON_RS_NUM_CPUS=8" or "one per processor".
struct PoolSize {
  std::size_t size = 0;
  std::string origin;
};

PoolSize choose_pool_size(const char* num_threads, const char* rs_num_cpus,
                          std::size_t processors) {
  std::size_t value = 0;
  if (parse_count(num_threads, value)) {
    if (value != 0) {  // 0 selects the default at once
      return {std::min(value, MAX_POOL_SIZE), std::string("RAYON_NUM_THREADS=") + num_threads};
    }
  } else if (parse_count(rs_num_cpus, value) && value >= 1) {
    return {std::min(value, MAX_POOL_SIZE), std::string("RAYON_RS_NUM_CPUS=") + rs_num_cpus};
  }
  return {std::min<std::size_t>(processors == 0 ? 1 : processors, MAX_POOL_SIZE),
          "one per processor"};
}

class ThreadPool {
 public:
  // The workers start with the first pass that needs them (start()), so a process whose
  // passes all run on the calling thread never has any.
  explicit ThreadPool(PoolSize size) : size_(size.size), origin_(std::move(size.origin)) {}

  ~ThreadPool() { stop(); }

  std::size_t size() const { return size_; }

  void run(std::size_t count, std::size_t chunks, const ChunkTask& task) {
    {
      std::lock_guard starting(start_);
      if (workers_.empty()) start();
    }
    Job job;
    job.task = &task;
    job.count = count;
    job.chunks = chunks;
    job.chunks_left.store(chunks, std::memory_order_relaxed);
    std::unique_lock lock(mutex_);
    job.next_job = jobs_;
    jobs_ = &job;
    unserved_.fetch_add(1, std::memory_order_relaxed);
    wake_.notify_all();
    done_.wait(lock, [&] { return job.finished(); });
    Job** link = &jobs_;
    while (*link != &job) link = &(*link)->next_job;
    *link = job.next_job;
    std::exception_ptr fault = std::move(job.fault);
    lock.unlock();
    if (fault) std::rethrow_exception(fault);
  }

 private:
  // The job with a chunk left and the fewest workers, or null. Under `mutex_`.
  Job* pick() const {
    Job* best = nullptr;
    for (Job* job = jobs_; job != nullptr; job = job->next_job) {
      if (job->claimable() && (best == nullptr || job->attached < best->attached)) best = job;
    }
    return best;
  }

  // Under `mutex_`.
  void attach(Job& job) {
    if (job.attached++ == 0) unserved_.fetch_sub(1, std::memory_order_relaxed);
  }

  void work(std::size_t index) {
    base::prepare_thread_storage();  // while memory is there, not at the first fault
    char name[16];                   // the system's limit, terminating null included
    std::snprintf(name, sizeof name, "vertisift-%zu", index);
    pthread_setname_np(pthread_self(), name);
    std::unique_lock lock(mutex_);
    ++ready_;
    done_.notify_all();
    for (;;) {
      Job* job = nullptr;
      wake_.wait(lock, [&] { return stopping_ || (job = pick()) != nullptr; });
      if (stopping_) return;
      attach(*job);
      lock.unlock();
      for (;;) {
        const std::size_t chunk = job->next_chunk.fetch_add(1, std::memory_order_relaxed);
        if (chunk >= job->chunks) break;
        if (!job->failed.load(std::memory_order_relaxed)) {
          const std::size_t begin = job->count * chunk / job->chunks;
          const std::size_t end = job->count * (chunk + 1) / job->chunks;
          try {
            (*job->task)(chunk, begin, end);
          } catch (...) {
            std::lock_guard guard(mutex_);
            if (!job->fault) job->fault = std::current_exception();
            job->failed.store(true, std::memory_order_relaxed);  // skip what is left
          }
        }
        job->chunks_left.fetch_sub(1, std::memory_order_acq_rel);
        if (unserved_.load(std::memory_order_relaxed) > 0) {
          // A pass waits for a worker: leave this job to the others attached to it, if any.
          std::lock_guard guard(mutex_);
          Job* waiting = pick();
          if (job->attached > 1 && waiting != nullptr && waiting->attached == 0) {
            --job->attached;  // others remain, so the job cannot be finished
            job = waiting;
            attach(*job);
          }
        }
      }
      lock.lock();
      --job->attached;
      if (job->finished()) done_.notify_all();
    }
  }

  // Starts every worker, or none: if the system refuses a thread (or memory runs out), the
  // workers already started are stopped and joined before the failure leaves, so nothing is
  // left running and the next pass can try again. Called under `start_`.
  void start() {
    try {
      workers_.reserve(size_);
      for (std::size_t i = 0; i < size_; ++i) {
        workers_.emplace_back([this, i] { work(i); });
      }
      // Every worker is past its start-up, which allocates, before the first pass is posted:
      // a fork() right after the call that started them must not catch one in the allocator.
      std::unique_lock lock(mutex_);
      done_.wait(lock, [&] { return ready_ == workers_.size(); });
    } catch (const std::system_error& error) {
      stop();
      throw ThreadStartFailure(error, size_, origin_);
    } catch (...) {
      stop();
      throw;
    }
  }

  void stop() {
    {
      std::lock_guard guard(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& worker : workers_) worker.join();
    workers_.clear();
    std::lock_guard guard(mutex_);
    stopping_ = false;
    ready_ = 0;
  }

  const std::size_t size_;
  const std::string origin_;          // where the size came from
  std::vector<std::thread> workers_;  // guarded by start_
  std::mutex start_;                  // held while the workers are started; before mutex_
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  Job* jobs_ = nullptr;                   // guarded by mutex_; the passes in progress
  std::atomic<std::size_t> unserved_{0};  // changed under mutex_: jobs without a worker
  bool stopping_ = false;                 // guarded by mutex_
  std::size_t ready_ = 0;                 // guarded by mutex_; workers past their start-up
};

// The process's pool and the fork epoch it was made in. It is never destroyed: worker
// threads live until the process ends. In a forked child the parent's workers do not exist,
// so the child forgets the pool (leaking the object, whose locks may be held by threads that
// are gone) and makes its own. Both variables are guarded by `pool_lock`, which any posting
// thread may take. A fork() must not copy it locked by a thread the child will not have: the
// fork handlers take it before the fork and release it on both sides, so the child gets it
// free (its one thread, the forking one, is the owner that unlocks it).
pthread_mutex_t pool_lock = PTHREAD_MUTEX_INITIALIZER;
ThreadPool* process_pool = nullptr;    // guarded by pool_lock
std::uint64_t process_pool_epoch = 0;  // guarded by pool_lock

void lock_pool() { pthread_mutex_lock(&pool_lock); }
void unlock_pool() { pthread_mutex_unlock(&pool_lock); }

bool register_pool_fork_handlers() {
  // Fails only for want of memory; the static below then stays uninitialised and the next
  // call tries again.
  if (pthread_atfork(lock_pool, unlock_pool, unlock_pool) != 0) throw std::bad_alloc();
  return true;
}

ThreadPool& pool() {
  [[maybe_unused]] static const bool registered = register_pool_fork_handlers();
  const std::uint64_t epoch = base::fork_epoch();
  lock_pool();
  struct Unlock {
    ~Unlock() { unlock_pool(); }
  } unlock;
  if (process_pool == nullptr || process_pool_epoch != epoch) {
    process_pool = nullptr;
    process_pool = new ThreadPool(choose_pool_size(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), logical_processors()));
    process_pool_epoch = epoch;
  }
  return *process_pool;
}

}  // namespace

std::size_t logical_processors() {
  unsigned reported = std::thread::hardware_concurrency();
  return reported;
}

ThreadStartFailure::ThreadStartFailure(const std::system_error& error, std::size_t threads,
                                       const std::string& origin, std::source_location where)
    : base::InternalFault(std::string("could not start a worker thread: ") + error.what()),
      description_("cannot start the " + std::to_string(threads) +
                   " worker threads: " + error.code().message() + " (" + origin + ")"),
      where_(where) {}

std::size_t pool_size_from_env(const char* num_threads, const char* rs_num_cpus,
                               std::size_t processors) {
  return choose_pool_size(num_threads, rs_num_cpus, processors).size;
}

std::size_t pool_size() { return pool().size(); }

std::size_t chunk_count(std::size_t count, std::size_t max_chunks) {
  return std::max<std::size_t>(1, std::min({count, pool().size() * CHUNKS_PER_WORKER, max_chunks}));
}

void run_chunks(std::size_t count, const ChunkTask& task, std::size_t max_chunks) {
  if (count == 0) return;
  const std::size_t chunks = chunk_count(count, max_chunks);
  if (chunks == 1 || sequential_depth > 0) {
    // The same chunks, one after the other, on the calling thread.
    for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
      task(chunk, count * chunk / chunks, count * (chunk + 1) / chunks);
    }
    return;
  }
  pool().run(count, chunks, task);
}

SequentialPasses::SequentialPasses(bool active) : active_(active) {
  if (active_) ++sequential_depth;
}

SequentialPasses::~SequentialPasses() {
  if (active_) --sequential_depth;
}

}  // namespace vertisift::parallel
