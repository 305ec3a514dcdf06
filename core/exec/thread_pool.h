// ThreadPool: the worker threads behind parallel_for (execution.h), one set
// per process, shared by every call.
//
// Workers start on demand, up to the count the call asks for (at most
// kMaxThreads - 1), wait for more work once it is done, and end after a few
// seconds without any: a burst of calls reuses them, and a process that has
// stopped calling holds no idle threads (nor has them when it forks). A call joins in its own work: run()
// executes tasks on the calling thread too, and the workers it asked for help as they come free, so calls
// from several threads at once share the workers and none of them waits for another's tasks. Tasks are handed
// out one at a time from a counter: uneven tasks balance themselves, and since every task writes only what
// belongs to it, the order they run in never shows in a result.
//
// Workers block every signal, so signals reach the process's own threads.
// After fork() the child starts with a new, empty pool: the parent's workers
// do not exist there, and nothing of their state is used.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <type_traits>

namespace teskra {

class Interrupt;

// A non-owning reference to a callable taking (task, slot).
class TaskRef {
 public:
  template <class Fn, class = std::enable_if_t<!std::is_same_v<std::decay_t<Fn>, TaskRef>>>
  TaskRef(Fn& fn)  // NOLINT: implicit on purpose
      : object_(const_cast<void*>(static_cast<const void*>(&fn))),
        call_([](void* o, size_t task, size_t slot) { (*static_cast<Fn*>(o))(task, slot); }) {}

  void operator()(size_t task, size_t slot) const { call_(object_, task, slot); }

 private:
  void* object_;
  void (*call_)(void*, size_t, size_t);
};

class ThreadPool {
 public:
  // The process's pool.
  static ThreadPool& shared();

  // Runs body(task, slot) for every task in [0, n_tasks) on up to `threads`
  // threads (this one included, as slot 0). interrupt (may be null) is asked
  // by this thread between its tasks; when it says stop, no further task
  // starts and Interrupted is thrown once the running ones end. Otherwise
  // the first exception a task throws is rethrown after the same wait.
  void run(size_t n_tasks, size_t threads, TaskRef body, Interrupt* interrupt);

  // Workers started so far.
  size_t workers() const;

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

 private:
  struct Region;
  ThreadPool() = default;
  // Starts workers until there are `count`; call with mutex_ held.
  void grow(size_t count);
  void worker_loop();
  static void work(Region& region, size_t slot, Interrupt* interrupt);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  // One entry per helper a running region still wants.
  std::deque<Region*> tickets_;
  size_t workers_ = 0;
};

}  // namespace teskra
