// PyTeskra: the Python object behind teskra.Teskra. It owns exactly one engine
// by value for its whole life and carries the access state that keeps
// re-entrant calls (Python code run during argument conversion) from touching
// an engine that is being changed.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "core/engine.h"

namespace teskra::py {

struct PyTeskra {
  PyObject_HEAD
  // 0: free; n > 0: n shared accesses; -1: one exclusive access.
  std::atomic<int64_t> borrow;
  // The engine is constructed in place after the object is allocated; a
  // failed construction leaves engine_live false so dealloc skips it.
  bool engine_live;
  alignas(Teskra) std::byte engine_storage[sizeof(Teskra)];

  Teskra& engine() { return *std::launder(reinterpret_cast<Teskra*>(engine_storage)); }
};

// Python's allocators hand out 16-byte aligned blocks.
static_assert(alignof(Teskra) <= 16, "engine needs stronger alignment than PyObject_Malloc gives");

inline PyTeskra* as_teskra(PyObject* o) { return reinterpret_cast<PyTeskra*>(o); }

}  // namespace teskra::py
