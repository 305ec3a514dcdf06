#include "core/exec/cores.h"

#include <algorithm>
#include <atomic>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#include <unistd.h>
#endif

namespace teskra {

namespace {
std::atomic<size_t> g_default_threads{0};
}  // namespace

size_t usable_cores() {
#if defined(__linux__)
  // Sized for every CPU the system could have: the fixed cpu_set_t stops at
  // 1024, which large machines exceed.
  const long configured = sysconf(_SC_NPROCESSORS_CONF);
  const int cpus = static_cast<int>(std::max<long>(configured, 1024));
  cpu_set_t* set = CPU_ALLOC(cpus);
  if (set != nullptr) {
    const size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    int count = 0;
    if (sched_getaffinity(0, bytes, set) == 0) count = CPU_COUNT_S(bytes, set);
    CPU_FREE(set);
    if (count > 0) return static_cast<size_t>(count);
  }
#endif
  return std::max<size_t>(std::thread::hardware_concurrency(), 1);
}

void set_default_threads(size_t threads) { g_default_threads.store(threads, std::memory_order_relaxed); }

size_t default_threads() { return g_default_threads.load(std::memory_order_relaxed); }

size_t resolve_threads(size_t requested) {
  size_t n = requested != 0 ? requested : default_threads();
  if (n == 0) n = usable_cores();
  return std::clamp<size_t>(n, 1, kMaxThreads);
}

}  // namespace teskra
