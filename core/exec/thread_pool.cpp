#include "core/exec/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>

#include "core/exec/cores.h"
#include "core/exec/execution.h"
#include "core/exec/thread_locals.h"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <signal.h>
#define TESKRA_POSIX_THREADS 1
#endif

namespace teskra {

// One run() call: its tasks, the counter they are taken from, and the helpers
// that joined it. Lives on the calling thread's stack; the pool's mutex
// guards joined, active and error.
struct ThreadPool::Region {
  Region(size_t tasks, TaskRef fn) : n_tasks(tasks), body(fn) {}

  size_t n_tasks;
  TaskRef body;
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  bool interrupted = false;  // the calling thread's own
  size_t joined = 0;
  size_t active = 0;
  std::condition_variable done;
  std::exception_ptr error;
  std::mutex error_mutex;
};

namespace {

// A worker without work for this long ends.
constexpr std::chrono::seconds kIdleExit(3);

// The pool of this process; replaced by a new one in a forked child.
std::atomic<ThreadPool*> g_pool{nullptr};

#if TESKRA_POSIX_THREADS
void forget_pool_in_child() {
  // The parent's workers are not in this process, and its mutex may have
  // been held by one of them: start over. The old pool is left as it is.
  g_pool.store(nullptr, std::memory_order_relaxed);
}
#endif

}  // namespace

ThreadPool& ThreadPool::shared() {
  ThreadPool* pool = g_pool.load(std::memory_order_acquire);
  if (pool != nullptr) return *pool;
#if TESKRA_POSIX_THREADS
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
#endif
  // Never destroyed: workers may still wait on it while the process exits.
  auto* fresh = new ThreadPool();
  ThreadPool* expected = nullptr;
  if (g_pool.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *expected;
}

size_t ThreadPool::workers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return workers_;
}

void ThreadPool::grow(size_t count) {
  count = std::min(count, kMaxThreads - 1);
  if (workers_ >= count) return;
#if TESKRA_POSIX_THREADS
  // Workers inherit the creating thread's signal mask: block everything
  // while they are made.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
#endif
  try {
    while (workers_ < count) {
      std::thread(&ThreadPool::worker_loop, this).detach();
      ++workers_;
    }
  } catch (const std::system_error&) {
    // No more threads to be had: the calls go on with those there are.
  }
#if TESKRA_POSIX_THREADS
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
#endif
}

void ThreadPool::work(Region& region, size_t slot, Interrupt* interrupt) {
  while (!region.stop.load(std::memory_order_relaxed)) {
    const size_t task = region.next.fetch_add(1, std::memory_order_relaxed);
    if (task >= region.n_tasks) return;
    try {
      region.body(task, slot);
    } catch (...) {
      std::lock_guard<std::mutex> lock(region.error_mutex);
      if (!region.error) region.error = std::current_exception();
      region.stop.store(true, std::memory_order_relaxed);
      return;
    }
    if (interrupt != nullptr && interrupt->requested()) {
      region.interrupted = true;
      region.stop.store(true, std::memory_order_relaxed);
      return;
    }
  }
}

void ThreadPool::worker_loop() {
  // A worker that could not take its thread-local blocks would end the
  // process at its first exception: without room for them it ends at once,
  // and the calls it was made for run on the threads there are.
  const bool ready = claim_thread_locals();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!ready) {
    --workers_;
    return;
  }
  for (;;) {
    if (!wake_.wait_for(lock, kIdleExit, [&] { return !tickets_.empty(); })) {
      --workers_;  // under the lock: run() counts only workers that will see its tickets
      return;
    }
    Region* region = tickets_.front();
    tickets_.pop_front();
    const size_t slot = ++region->joined;
    ++region->active;
    lock.unlock();
    work(*region, slot, nullptr);
    lock.lock();
    // Notified under the lock: the caller cannot return (and free the
    // region) before this thread lets go of the lock, and it never touches
    // the region again.
    if (--region->active == 0) region->done.notify_all();
  }
}

void ThreadPool::run(size_t n_tasks, size_t threads, TaskRef body, Interrupt* interrupt) {
  if (n_tasks == 0) return;
  const size_t helpers = std::min({std::max<size_t>(threads, 1), n_tasks, kMaxThreads}) - 1;
  Region region(n_tasks, body);
  if (helpers > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    grow(helpers);
    for (size_t i = 0; i < std::min(helpers, workers_); ++i) tickets_.push_back(&region);
  }
  if (helpers > 0) wake_.notify_all();
  work(region, 0, interrupt);
  if (helpers > 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Helpers that have not joined yet are not wanted any more.
    tickets_.erase(std::remove(tickets_.begin(), tickets_.end(), &region), tickets_.end());
    region.done.wait(lock, [&] { return region.active == 0; });
  }
  if (region.error) std::rethrow_exception(region.error);
  if (region.interrupted) throw Interrupted();
}

}  // namespace teskra
