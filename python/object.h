// PyTeskra: the Python object behind teskra.Teskra. It owns exactly one engine
// by value for its whole life and carries the access state (borrow.h) that
// lets calls from several threads share the engine safely and keeps
// re-entrant calls (Python code run during argument conversion) from
// touching an engine that is being changed.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "core/engine.h"

namespace teskra::py {

// Who is inside the engine now (borrow.cpp). Changed with atomic operations
// and, when a thread must wait, under the module's access mutex; never
// guarded by the interpreter lock: calls keep their access while they run
// without it.
struct AccessState {
  // Shared accesses held (nested ones included) in the low 32 bits, threads
  // waiting for exclusive access in the next 16, and the exclusive bit.
  std::atomic<uint64_t> word{0};
  // Threads asleep until this state changes.
  std::atomic<uint64_t> sleepers{0};
  // The process (fork) the counts were taken in.
  std::atomic<uint64_t> generation{0};
  // Forked while another thread was changing it: unusable in this process.
  bool broken = false;
};

struct PyTeskra {
  PyObject_HEAD AccessState access;
  // The engine is constructed in place after the object is allocated; a
  // failed construction leaves engine_live false so dealloc skips it.
  bool engine_live;
  alignas(Teskra) std::byte engine_storage[sizeof(Teskra)];

  Teskra& engine() { return *std::launder(reinterpret_cast<Teskra*>(engine_storage)); }
};

// Python's allocators hand out 16-byte aligned blocks.
static_assert(alignof(Teskra) <= 16, "engine needs stronger alignment than PyObject_Malloc gives");

inline PyTeskra* as_teskra(PyObject* o) { return reinterpret_cast<PyTeskra*>(o); }

// Sets up the access state of a newly allocated instance.
void init_access(PyTeskra* self);

}  // namespace teskra::py
