// Execution: how one long engine call runs. It names the threads the call may
// spread its work over and whom the call asks, from time to time, whether it
// should stop.
//
// Only the thread that made the call ever asks (poll(), and the pool between
// the tasks it runs itself), so an Interrupt may use whatever that thread
// owns: the Python binding takes the interpreter lock there to look for a
// pending Ctrl-C. A call that is told to stop throws Interrupted and leaves
// its index as any failure of that call does (see each call).
#pragma once

#include <cstddef>
#include <exception>
#include <utility>

#include "core/exec/thread_pool.h"

namespace teskra {

class Interrupt {
 public:
  virtual ~Interrupt() = default;
  // True when the call should stop. Asked often (between small pieces of
  // work): an implementation that is expensive to ask limits itself.
  virtual bool requested() = 0;
};

// Thrown by a call that its Interrupt stopped.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

struct Execution {
  // Threads the call may use, the calling thread included (0 counts as 1).
  size_t threads = 1;
  // Asked by the calling thread; null never stops.
  Interrupt* interrupt = nullptr;

  size_t slots() const { return threads == 0 ? 1 : threads; }
  // Throws Interrupted when the interrupt asks to stop.
  void poll() const {
    if (interrupt != nullptr && interrupt->requested()) throw Interrupted();
  }
};

// Runs fn(task, slot) for every task in [0, n_tasks), on the calling thread
// and up to slots() - 1 threads of the shared pool, tasks taken in order
// from a common counter. slot < exec.slots() tells the running thread apart
// (for scratch memory): two tasks running at once never share a slot. A
// throwing task stops the others from starting; the first exception is
// rethrown here once every task that started has ended. The interrupt is
// asked between tasks.
template <class Fn>
void parallel_for(const Execution& exec, size_t n_tasks, Fn&& fn) {
  ThreadPool::shared().run(n_tasks, exec.slots(), TaskRef(fn), exec.interrupt);
}

}  // namespace teskra
