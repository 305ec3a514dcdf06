// Engine work with the interpreter lock let go.
//
// An entry point converts its arguments with the lock held (that may run
// Python code), then runs the engine inside an Unlocked scope, so other
// Python threads run meanwhile, and takes the lock back to build its result.
// Inside the scope nothing of Python may be touched: the engine reads only
// what the call took out of Python objects, or the buffer of a NumPy array
// the call holds a reference to (so it cannot be freed or resized under the
// engine; see add).
//
// Ctrl-C: when the call runs on the main thread, the engine asks the scope
// (an Interrupt) between small pieces of work, and about every 50 ms the
// scope takes the lock for a moment and runs the pending signal handlers
// (PyErr_CheckSignals). If one raises, KeyboardInterrupt for Ctrl-C, the
// engine stops with Interrupted, and the entry point returns with that
// exception. Other threads leave signals to the main thread, as Python does.
#pragma once

#include <Python.h>

#include <chrono>

#include "core/exec/cores.h"
#include "core/exec/execution.h"

namespace teskra::py {

class Unlocked final : public Interrupt {
 public:
  Unlocked();
  // Takes the lock back, on every path out of the scope.
  ~Unlocked() override;
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  bool requested() override;

  // An Execution on resolve_threads(threads) threads that this scope stops.
  Execution execution(size_t threads = 0) { return {resolve_threads(threads), this}; }

 private:
  PyThreadState* state_;
  bool main_thread_;
  bool raised_ = false;  // a handler raised: the answer stays yes
  std::chrono::steady_clock::time_point next_check_;
};

// Remembers which thread is the interpreter's main thread (the one signal
// handlers run on). Called once by the module's initialization; a forked
// child takes the forking thread, as the interpreter does.
void note_main_thread();

}  // namespace teskra::py
