// Ref: one owned Python reference, released on scope exit. Conversion code
// can throw std::bad_alloc between taking and dropping a reference; holding
// it in a Ref keeps that unwinding from leaking the object.
#pragma once

#include <Python.h>

#include <utility>

namespace teskra::py {

class Ref {
 public:
  Ref() = default;
  // Takes ownership of a new reference (nullptr allowed).
  explicit Ref(PyObject* owned) : p_(owned) {}
  ~Ref() { Py_XDECREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace teskra::py
