// Scoped shared / exclusive access to one PyTeskra.
//
// Calls let go of the interpreter lock while the engine works (released.h),
// so calls from several threads overlap for real. Access decides who may be
// inside one index at once: any number of shared accesses (searches,
// exports, save) or one exclusive access (add, fit, build, the tuning
// setters). A request that conflicts with calls of other threads waits for
// them, without the interpreter lock; a waiting exclusive request goes
// before shared requests that come after it, so a stream of searches cannot
// hold a change off for ever. Waiting stops for Ctrl-C like any blocking
// call. Access is taken before any argument is converted and released on
// every path by the guard's destructor.
//
// Within one thread the rule is the old one: a call can only meet another
// call of its own thread when Python code that it runs (an element's
// __float__, a sequence's iterator, an __index__) calls back into the same
// object, and waiting would never end, so a conflict fails at once:
//
//   exclusive request while this thread has any access  -> "Already borrowed"
//   shared request while this thread has exclusive      -> "Already mutably borrowed"
//
// and a shared request nested in this thread's shared access never waits.
//
// fork(): the child keeps the access of the thread that forked (it may be
// inside a conversion callback); the accesses of the parent's other threads
// are gone with them. An index that another thread was changing at that
// moment may be half-changed: in the child every call on it raises
// RuntimeError.
#pragma once

#include "python/errors.h"
#include "python/object.h"

namespace teskra::py {

// Take and give back one access of this thread. acquire returns false with
// a Python error set (RuntimeError, KeyboardInterrupt or another exception
// a signal handler raised while waiting, MemoryError). Call with the
// interpreter lock held, inside guarded() (which claims the thread's
// thread-local storage first); the lock may be let go while waiting.
bool acquire_access(PyTeskra* self, bool exclusive);
void release_access(PyTeskra* self, bool exclusive) noexcept;

class SharedAccess {
 public:
  // On failure sets the Python error; check with operator bool.
  explicit SharedAccess(PyTeskra* self) : self_(acquire_access(self, false) ? self : nullptr) {}
  ~SharedAccess() {
    if (self_ != nullptr) release_access(self_, false);
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

  explicit operator bool() const { return self_ != nullptr; }

 private:
  PyTeskra* self_;
};

class ExclusiveAccess {
 public:
  // On failure sets the Python error; check with operator bool.
  explicit ExclusiveAccess(PyTeskra* self) : self_(acquire_access(self, true) ? self : nullptr) {}
  ~ExclusiveAccess() {
    if (self_ != nullptr) release_access(self_, true);
  }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

  explicit operator bool() const { return self_ != nullptr; }

 private:
  PyTeskra* self_;
};

// The shape of every entry point: take the access, then run body on the
// engine inside guarded(), so no C++ exception reaches the interpreter and
// the access is released on every path.
template <class Body>
PyObject* with_shared(PyObject* op, Body&& body) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyTeskra* self = as_teskra(op);
    SharedAccess access(self);
    if (!access) return nullptr;
    return body(self->engine());
  });
}

template <class Body>
PyObject* with_exclusive(PyObject* op, Body&& body) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyTeskra* self = as_teskra(op);
    ExclusiveAccess access(self);
    if (!access) return nullptr;
    return body(self->engine());
  });
}

}  // namespace teskra::py
