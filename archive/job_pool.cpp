// The job pool: worker threads take jobs in index order, the calling thread takes their results in
// the same order. The only file of the library that knows threads.
//
// Its users: TArchiveWriter::AddFiles packs files ahead on the workers and writes them in order;
// the tool's x and t expand entries on the workers and say what came of them in order.
//
// The calling thread delivers and does no job itself. Its share of the work is small (writing
// packed data, saying lines), and a worker per wanted thread keeps each worker's state (a
// component, an archive stream) in one place. A worker wakes the calling thread only for the
// result it waits for, and the calling thread wakes the workers only when one of them waits for
// room ahead: a wake per job costs more than packing a small header.
// MEASUREMENTS_PLACEHOLDER
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
  std::vector<char> done;
  std::vector<int64_t> bytes;
  std::vector<std::exception_ptr> errors;
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

TJobPool::TJobPool(int workers, TJobLimits limits)
    : workers_(Available(workers)), limits_(limits), state_(std::make_unique<State>()) {
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
  s.done.assign(count, 0);
  s.bytes.assign(count, 0);
  s.errors.assign(count, nullptr);

  auto work = [this, &s, &job](size_t worker) {
    for (;;) {
      size_t index;
      {
        std::unique_lock<std::mutex> lock(s.mutex);
        ++s.workers_waiting;
        s.work_ready.wait(lock, [&] {
          return s.stop || s.next >= s.end ||
                 (s.next - s.delivering < limits_.Jobs && s.held < limits_.Bytes);
        });
        --s.workers_waiting;
        if (s.stop || s.next >= s.end) return;
        index = s.next++;
      }
      int64_t bytes = 0;
      std::exception_ptr error;
      try {
        bytes = job(worker, index);
      } catch (...) {
        error = std::current_exception();
      }
      bool wake;
      {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.done[index] = 1;
        s.bytes[index] = bytes;
        s.held += bytes;
        if (error) {
          s.errors[index] = error;
          s.end = std::min(s.end, index + 1);  // nothing after it is delivered
        }
        wake = s.caller_waits && index == s.delivering;
      }
      if (wake) s.result_ready.notify_one();
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
  const size_t workers = std::min(static_cast<size_t>(workers_), count);
  for (size_t w = 0; w < workers; ++w) joiner.threads.emplace_back(work, w);

  for (size_t i = 0; i < count; ++i) {
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.caller_waits = true;
      s.result_ready.wait(lock, [&] { return s.done[i] != 0; });
      s.caller_waits = false;
      if (s.errors[i]) std::rethrow_exception(s.errors[i]);
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
