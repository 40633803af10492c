// The job pool: worker threads take jobs in index order, the calling thread takes their results in
// the same order. The only file of the library that knows threads.
//
// Its users: TArchiveWriter::AddFiles packs files ahead on the workers and writes them in order;
// the tool's x and t expand entries on the workers and say what came of them in order.
//
// AddFiles keeps its calling thread for writing (a worker per wanted thread packs); x and t let
// the calling thread take jobs too. A worker wakes the calling thread only for the result it waits
// for, and the calling thread wakes the workers only when one of them waits for room ahead.
// Measured on two shared cores, old code against the pool, runs interleaved (/usr/include, 131 MB,
// 8178 files, -j2, median of 5 to 8): `a` 2.96 s against 2.94 s wall, 5.3 s user both, the same
// archive bytes; `x` 0.88 s against 0.43 s (file creation dominates and varies); `t` 0.12 s both.
// `a --method LH5` without -j, four pairs on a busier machine: 3.8 to 5.8 s against 3.3 to 5.1 s,
// the pool faster in each pair. scripts/compare.sh puts `qobz a` at 2.1 to 2.2 times jlha's speed
// either way; its single `qobz x` run swings from 0.9 s to 5 s with the file system's state, for
// the old code and the pool alike, as do ten runs in a row of either (system time grows run by
// run). Tried: a calling thread that only delivers for x and t too. `t` then took 0.14 s instead of
// 0.12 s in five runs of five, with twice the system time: a sleep and a wake of the calling
// thread per entry, where most entries take less. Tried: a done flag, a byte count and an error
// per job: 130 KB more peak memory for `t` of those 8178 entries; now one count per job, and only
// the first failure is kept (nothing after it is delivered).
#include "archive/job_pool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <vector>

// The MinGW toolchain's "win32" thread model has no std::thread: there every job runs on the
// calling thread.
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define QOBZ_JOB_THREADS 0
#else
#define QOBZ_JOB_THREADS 1
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace qobz {

namespace {
constexpr int64_t kNotDone = -1;
}  // namespace

struct TJobPool::State {
  std::atomic<bool> stopping{false};
#if QOBZ_JOB_THREADS
  std::mutex mutex;
  std::condition_variable work_ready;    // a waiting worker may take a job, or must end
  std::condition_variable result_ready;  // the result the calling thread waits for is there
  // Under the mutex:
  size_t next = 0;        // the job a worker takes next
  size_t end = 0;         // no job at or past it is taken (the count, or past a failed job)
  size_t delivering = 0;  // the job the calling thread is at
  int64_t held = 0;       // bytes of results finished and not yet delivered
  bool stop = false;
  bool caller_waits = false;
  int workers_waiting = 0;
  std::vector<int64_t> bytes;  // each job's result's bytes; kNotDone until it is done
  size_t failed = 0;           // the first job known to have failed (or the count)
  std::exception_ptr error;    // its error
#endif
};

int TJobPool::Available(int wanted) {
  return QOBZ_JOB_THREADS ? std::max(1, wanted) : 1;
}

int TJobPool::Cores() {
#if QOBZ_JOB_THREADS
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
#else
  return 1;
#endif
}

TJobPool::TJobPool(int workers, TJobLimits limits, bool caller_helps)
    : workers_(Available(workers)),
      limits_(limits),
      caller_helps_(caller_helps),
      state_(std::make_unique<State>()) {
  limits_.Jobs = std::max<size_t>(1, limits_.Jobs);
}

TJobPool::~TJobPool() = default;

bool TJobPool::Stopping() const {
  return state_->stopping.load(std::memory_order_relaxed);
}

void TJobPool::Run(size_t count, const Job& job, const Deliver& deliver) {
  State& s = *state_;
  s.stopping = false;
#if QOBZ_JOB_THREADS
  if (count == 0) return;
  s.next = s.delivering = 0;
  s.end = count;
  s.held = 0;
  s.stop = s.caller_waits = false;
  s.workers_waiting = 0;
  s.bytes.assign(count, kNotDone);
  s.failed = count;
  s.error = nullptr;

  // Whether a job may be taken now (under the mutex).
  auto may_take = [this, &s] {
    return s.next < s.end && s.next - s.delivering < limits_.Jobs && s.held < limits_.Bytes;
  };
  // Does a job taken and keeps what came of it (not under the mutex).
  auto execute = [&s, &job](size_t worker, size_t index) {
    int64_t bytes = 0;
    std::exception_ptr error;
    try {
      bytes = job(worker, index);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    s.bytes[index] = std::max<int64_t>(0, bytes);
    s.held += s.bytes[index];
    if (error && index < s.failed) {
      s.failed = index;
      s.error = error;
      s.end = std::min(s.end, index + 1);  // nothing after it is delivered
    }
    return s.caller_waits && index == s.delivering;
  };
  auto work = [&](size_t worker) {
    for (;;) {
      size_t index;
      {
        std::unique_lock<std::mutex> lock(s.mutex);
        ++s.workers_waiting;
        s.work_ready.wait(lock, [&] { return s.stop || s.next >= s.end || may_take(); });
        --s.workers_waiting;
        if (s.stop || s.next >= s.end) return;
        index = s.next++;
      }
      if (execute(worker, index)) s.result_ready.notify_one();
    }
  };

  // Stops and joins the workers however the run ends.
  struct Joiner {
    State& s;
    std::vector<std::thread> threads;
    ~Joiner() {
      {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stop = true;
        s.stopping = true;
      }
      s.work_ready.notify_all();
      for (std::thread& t : threads) t.join();
    }
  } joiner{s, {}};
  // When the calling thread helps, it is the last worker and one thread fewer is started.
  const size_t own = static_cast<size_t>(workers_) - 1;
  const size_t threads = std::min(caller_helps_ ? own : own + 1, count);
  for (size_t w = 0; w < threads; ++w) joiner.threads.emplace_back(work, w);

  for (size_t i = 0; i < count; ++i) {
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      while (s.bytes[i] == kNotDone) {
        if (caller_helps_ && may_take()) {
          const size_t index = s.next++;
          lock.unlock();
          execute(own, index);
          lock.lock();
          continue;
        }
        s.caller_waits = true;
        s.result_ready.wait(lock, [&] { return s.bytes[i] != kNotDone; });
        s.caller_waits = false;
      }
      if (i == s.failed) std::rethrow_exception(s.error);
    }
    deliver(i);
    bool wake;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.delivering = i + 1;
      s.held -= s.bytes[i];
      wake = s.workers_waiting > 0;
    }
    if (wake) s.work_ready.notify_all();
  }
#else
  struct Stopper {
    State& s;
    ~Stopper() { s.stopping = true; }
  } stopper{s};
  for (size_t i = 0; i < count; ++i) {
    job(0, i);
    deliver(i);
  }
#endif
}

}  // namespace qobz
