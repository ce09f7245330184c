// A load of many threads for the benchmarks: each thread makes untimed warm-up operations,
// then, all released together, its share of the timed ones, one after another; the first
// failure stops a thread. Every wait is bounded.
//
//   bench::Load load(threads, opsPerThread, {warmup, setupWait, runLimit},
//                    [&](int thread, int k, std::string* error) { return Call(error); });
//   if (!load.WarmedUp()) Skip(load.error());
//   load.Run();
//   auto const latencies = load.Latencies();  // microseconds, sorted
//   double const p50 = bench::Percentile(latencies, 0.50);
#ifndef BENCH_LOAD_H_
#define BENCH_LOAD_H_

#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

// CPU time of the whole process, all threads, in seconds.
inline double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](timeval const& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class Load {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    // Untimed operations per thread before the timed ones.
    int warmupOps;
    // Longest wait for the threads to warm up, and to be released.
    std::chrono::milliseconds setupWait;
    // Longest timed run.
    std::chrono::milliseconds runLimit;
  };

  // One blocking operation, the `k`th of thread `thread` (warm-up operations count on from
  // opsPerThread): true on success, else false with `*error` set.
  using Op = std::function<bool(int thread, int k, std::string* error)>;

  Load(int threads, int opsPerThread, Limits limits, Op op)
      : opsPerThread_(opsPerThread), limits_(limits), op_(std::move(op)), latencies_(threads) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this, i] { Thread(i); });
  }

  ~Load() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    gate_.notify_all();
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  // Waits until every thread has warmed up; false when one failed or it took too long.
  bool WarmedUp() {
    std::unique_lock<std::mutex> lock(mutex_);
    bool const all = gate_.wait_for(lock, limits_.setupWait, [this] {
      return warm_ == static_cast<int>(threads_.size());
    });
    if (!all && error_.empty()) error_ = "the threads did not warm up in time";
    return error_.empty();
  }

  // Releases the threads and waits for them; every operation is bounded, and so is the run.
  void Run() {
    double const cpuBefore = ProcessCpuSeconds();
    start_ = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      timing_ = true;
      released_ = true;
    }
    gate_.notify_all();
    for (auto& thread : threads_) thread.join();
    seconds_ = std::chrono::duration<double>(Clock::now() - start_).count();
    cpuSeconds_ = ProcessCpuSeconds() - cpuBefore;
  }

  std::string error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }
  double seconds() const { return seconds_; }
  // CPU time of the whole process during the timed operations.
  double cpuSeconds() const { return cpuSeconds_; }

  // Every timed operation's latency in microseconds, sorted.
  std::vector<double> Latencies() const {
    std::vector<double> all;
    for (auto const& one : latencies_) all.insert(all.end(), one.begin(), one.end());
    std::sort(all.begin(), all.end());
    return all;
  }

 private:
  void Thread(int i) {
    std::string error;
    bool ok = true;
    for (int k = 0; ok && k < limits_.warmupOps; ++k) ok = op_(i, opsPerThread_ + k, &error);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!ok) Failed(error);
      ++warm_;
      gate_.notify_all();
      if (!ok) return;
      if (!gate_.wait_for(lock, limits_.setupWait, [this] { return released_; })) {
        return Failed("the threads were not released in time");
      }
      if (!timing_) return;  // the case ended before it ran
    }
    auto& latencies = latencies_[static_cast<std::size_t>(i)];
    latencies.reserve(static_cast<std::size_t>(opsPerThread_));
    for (int k = 0; k < opsPerThread_; ++k) {
      auto const before = Clock::now();
      if (!op_(i, k, &error)) {
        std::lock_guard<std::mutex> lock(mutex_);
        return Failed(error);
      }
      auto const after = Clock::now();
      latencies.push_back(std::chrono::duration<double, std::micro>(after - before).count());
      if (after - start_ > limits_.runLimit) {
        std::lock_guard<std::mutex> lock(mutex_);
        return Failed("the run took longer than the limit");
      }
    }
  }

  // Keeps the first failure; the caller holds mutex_.
  void Failed(std::string const& error) {
    if (error_.empty()) error_ = error.empty() ? "an operation failed" : error;
  }

  int const opsPerThread_;
  Limits const limits_;
  Op const op_;
  std::vector<std::vector<double>> latencies_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable gate_;
  int warm_ = 0;
  bool released_ = false;
  bool timing_ = false;
  std::string error_;
  Clock::time_point start_;
  double seconds_ = 0;
  double cpuSeconds_ = 0;
};

// The latency below which a fraction `q` of the operations finished (nearest rank).
inline double Percentile(std::vector<double> const& sorted, double q) {
  if (sorted.empty()) return 0;
  auto const rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size(), std::max<std::size_t>(rank, 1)) - 1];
}

}  // namespace bench

#endif  // BENCH_LOAD_H_
