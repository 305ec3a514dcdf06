// What one parallel region costs: the shared pool (core/exec/thread_pool.h)
// against starting std::jthreads for every call, the alternative it was
// chosen over. Each region runs `threads` tasks of `task_us` microseconds
// of spinning, one per thread when the hand-over works: what a region takes
// beyond task_us is the hand-over, waking (or starting) the helpers and
// waiting for them.
//
//     bench_threads [threads] [regions] [task_us]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "core/exec/execution.h"

namespace {

using Clock = std::chrono::steady_clock;

double per_region_us(Clock::time_point start, int regions) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / regions;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t threads = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2;
  const int regions = argc > 2 ? std::atoi(argv[2]) : 5000;
  const double task_us = argc > 3 ? std::atof(argv[3]) : 100.0;
  std::atomic<size_t> sink{0};
  auto task = [&](size_t t, size_t) {
    const auto until = Clock::now() + std::chrono::duration<double, std::micro>(task_us);
    while (Clock::now() < until) sink.fetch_add(t + 1, std::memory_order_relaxed);
  };

  teskra::parallel_for({.threads = threads}, threads, task);  // the pool's workers start here
  auto start = Clock::now();
  for (int r = 0; r < regions; ++r) teskra::parallel_for({.threads = threads}, threads, task);
  const double pool = per_region_us(start, regions);

  start = Clock::now();
  for (int r = 0; r < regions; ++r) {
    std::atomic<size_t> next{0};
    auto work = [&] {
      for (size_t t; (t = next.fetch_add(1)) < threads;) task(t, 0);
    };
    std::vector<std::jthread> helpers;
    for (size_t h = 1; h < threads; ++h) helpers.emplace_back(work);
    work();
  }
  const double spawn = per_region_us(start, regions);
  std::printf(
      "threads %zu, tasks of %.0f us: a region takes %.1f us with the pool, %.1f us with a jthread per "
      "call\n",
      threads, task_us, pool, spawn);
  return sink.load() == 0 ? 1 : 0;
}
