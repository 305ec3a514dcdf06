// Scoped shared / exclusive access to one PyTeskra.
//
// The interpreter lock is held for the whole of every call, so two calls only
// overlap when Python code that a call runs (an element's __float__, a
// sequence's iterator, an __index__) calls back into the same object. Access
// is therefore taken before any argument is converted and released on every
// path by the guard's destructor, so a failed call never leaves the object
// locked.
//
//   exclusive request while any access is active  -> "Already borrowed"
//   shared request while exclusive is active      -> "Already mutably borrowed"
#pragma once

#include "python/errors.h"
#include "python/object.h"

namespace teskra::py {

class SharedAccess {
 public:
  // On failure sets RuntimeError; check with operator bool.
  explicit SharedAccess(PyTeskra* self) : self_(self) {
    int64_t cur = self->borrow.load(std::memory_order_relaxed);
    do {
      if (cur < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        self_ = nullptr;
        return;
      }
    } while (!self->borrow.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed));
  }
  ~SharedAccess() {
    if (self_ != nullptr) self_->borrow.fetch_sub(1, std::memory_order_release);
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

  explicit operator bool() const { return self_ != nullptr; }

 private:
  PyTeskra* self_;
};

class ExclusiveAccess {
 public:
  // On failure sets RuntimeError; check with operator bool.
  explicit ExclusiveAccess(PyTeskra* self) : self_(self) {
    int64_t expected = 0;
    if (!self->borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      self_ = nullptr;
    }
  }
  ~ExclusiveAccess() {
    if (self_ != nullptr) self_->borrow.store(0, std::memory_order_release);
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
