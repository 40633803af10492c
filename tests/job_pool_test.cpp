// The job pool: results in the jobs' order whatever order they finish in, the bound on what waits
// ahead, errors and cancels that end a run in order.
#include "archive/job_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qobz {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

struct Case {
  const char* name;
  size_t count;
  int workers;
  bool helps;  // the calling thread takes jobs too
  TJobLimits limits;
  int64_t bytes;          // each result's bytes
  bool swapped;           // job 2k finishes only after job 2k+1
  size_t fails = kNone;   // the job that throws
  size_t cancel = kNone;  // the job whose delivery throws
};

TEST(JobPool, DeliversInOrderWithinTheBound) {
  const Case cases[] = {
      {"out of order", 200, 4, false, {8, 1000}, 10, true},
      {"out of order, caller helps", 200, 3, true, {8, 1000}, 10, true},
      {"count bound", 300, 3, false, {3, INT64_MAX}, 0, true},
      {"count bound, caller helps", 300, 2, true, {3, INT64_MAX}, 0, true},
      {"byte bound", 300, 3, false, {1000, 50}, 20, true},
      {"byte bound one worker", 100, 1, false, {1000, 50}, 20, false},
      {"one worker", 50, 1, false, {}, 1, false},
      {"caller alone", 50, 1, true, {4, 10}, 3, false},
      {"more workers than jobs", 3, 8, false, {}, 1, true},
      {"zero jobs", 0, 4, false, {}, 1, false},
      {"zero jobs, caller helps", 0, 4, true, {}, 1, false},
      {"error in order", 100, 4, false, {16, INT64_MAX}, 1, true, 41},
      {"error in order, caller helps", 100, 4, true, {16, INT64_MAX}, 1, true, 41},
      {"error in the first job", 100, 2, false, {16, INT64_MAX}, 1, true, 0},
      {"cancel", 1000, 4, false, {5, INT64_MAX}, 1, true, kNone, 20},
      {"cancel, caller helps", 1000, 4, true, {5, INT64_MAX}, 1, true, kNone, 20},
      {"cancel one worker", 1000, 1, false, {5, INT64_MAX}, 1, false, kNone, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TJobPool pool(c.workers, c.limits, c.helps);
    std::vector<size_t> results(c.count, kNone);
    auto finished = std::make_unique<std::atomic<bool>[]>(c.count + 1);
    std::atomic<size_t> delivered_count{0}, started{0}, max_started{0}, bad_worker{0};
    std::atomic<int64_t> held{0};  // bytes finished and not yet delivered, as the jobs see it
    std::atomic<bool> over_count{false}, over_bytes{false};
    const int64_t slack = static_cast<int64_t>(pool.Workers() - 1) * c.bytes;
    auto job = [&](size_t worker, size_t i) -> int64_t {
      ++started;
      for (size_t m = max_started; m < i && !max_started.compare_exchange_weak(m, i);) {
      }
      if (worker >= static_cast<size_t>(pool.Workers())) ++bad_worker;
      if (i - delivered_count >= c.limits.Jobs) over_count = true;
      if (held - slack >= c.limits.Bytes) over_bytes = true;
      struct Done {
        std::atomic<bool>& flag;
        ~Done() { flag = true; }
      } done{finished[i]};
      // Not on the calling thread: it would wait for a job that it alone may take, after the next
      // delivery.
      const bool on_caller = c.helps && worker + 1 == static_cast<size_t>(pool.Workers());
      if (c.swapped && i % 2 == 0 && i + 1 < c.count && !on_caller) {
        while (!finished[i + 1] && !pool.Stopping()) std::this_thread::yield();
      }
      if (i == c.fails) throw std::runtime_error("job " + std::to_string(i));
      results[i] = i * 7;
      held += c.bytes;
      return c.bytes;
    };
    std::vector<size_t> order;
    auto deliver = [&](size_t i) {
      held -= c.bytes;
      if (i == c.cancel) throw std::runtime_error("cancel");
      EXPECT_EQ(results[i], i * 7);
      order.push_back(i);
      // Slow: the workers run as far ahead as the pool lets them.
      for (int k = 0; k < 200; ++k) std::this_thread::yield();
      ++delivered_count;
    };
    std::string error;
    try {
      pool.Run(c.count, job, deliver);
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    const size_t end = std::min({c.count, c.fails, c.cancel});
    std::vector<size_t> expected;
    for (size_t i = 0; i < end; ++i) expected.push_back(i);
    EXPECT_EQ(order, expected);
    EXPECT_EQ(error, c.fails != kNone    ? "job " + std::to_string(c.fails)
                     : c.cancel != kNone ? "cancel"
                                         : "");
    EXPECT_FALSE(over_count);
    EXPECT_FALSE(over_bytes);
    EXPECT_EQ(bad_worker, 0u);
    if (c.fails == kNone && c.cancel == kNone) {
      EXPECT_EQ(started, c.count);
    }
    // A cancel at job k: no job at or past k + the count bound was taken.
    if (c.cancel != kNone) {
      EXPECT_LT(max_started, c.cancel + c.limits.Jobs);
    }
  }
}

}  // namespace
}  // namespace qobz
