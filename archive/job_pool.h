// Jobs shared out among worker threads, their results taken in the jobs' order on the calling
// thread. The library's one place for threads: what runs work in parallel runs it here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

namespace qobz {

// How far the workers may run ahead of the calling thread. A worker takes job i only while
// i < (the job being delivered) + Jobs and the bytes of the finished results not yet delivered
// stay under Bytes; so at most Jobs results wait, and their bytes exceed Bytes by at most one
// result per worker.
struct TJobLimits {
  size_t Jobs = std::numeric_limits<size_t>::max();
  int64_t Bytes = std::numeric_limits<int64_t>::max();
};

class TJobPool {
 public:
  // Runs on a worker: does job `index` and keeps its result where the caller finds it (a slot of
  // its own, say), and returns the bytes that result holds until delivered. `worker` is below the
  // pool's Workers(): one job at a time per worker, so state kept per worker needs no lock.
  using Job = std::function<int64_t(size_t worker, size_t index)>;
  // Runs on the calling thread, once per job, in the jobs' order.
  using Deliver = std::function<void(size_t index)>;

  // The number of workers that can run at once: `wanted`, or 1 where the platform has no threads.
  static int Available(int wanted);
  // The processor cores the system reports (at least 1).
  static int Cores();

  // With caller_helps the calling thread is one of the workers: when the result it delivers next
  // is not there yet it takes a job itself, and one thread fewer is started. Without, it only
  // delivers (and may then do work of its own in Deliver). No job may wait for a later one: run
  // by the calling thread it would hold up the deliveries that let the later one be taken.
  TJobPool(int workers, TJobLimits limits = {}, bool caller_helps = false);
  ~TJobPool();
  TJobPool(const TJobPool&) = delete;
  TJobPool& operator=(const TJobPool&) = delete;

  int Workers() const { return workers_; }

  // Runs jobs 0..count-1 and delivers each in order. A job that throws ends the run when its turn
  // comes: the jobs before it are delivered, the error is raised here and no later job is
  // delivered. A deliver that throws (a cancel) ends the run too: workers take no further job and
  // the error is raised here. Either way every worker has finished before Run returns or throws.
  // Where the platform has no threads the jobs run here, each delivered as soon as it is done.
  void Run(size_t count, const Job& job, const Deliver& deliver);

  // Whether the run is ending early, for a long job to give up at its next step.
  bool Stopping() const;

 private:
  struct State;
  int workers_;
  TJobLimits limits_;
  bool caller_helps_;
  std::unique_ptr<State> state_;
};

}  // namespace qobz
