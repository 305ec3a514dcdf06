// The one place where engine failures become Python exceptions.
//
// Every entry point of the module runs its C++ body through guarded(): a C++
// exception must never unwind into the interpreter, so whatever escapes the
// body is translated here and the entry point returns its failure value.
#pragma once

#include <Python.h>

#include "core/exec/thread_locals.h"

namespace teskra::py {

// Translates the exception currently being handled (call only inside a catch
// block), with what() as the exception's message:
//   TeskraError   by its kind: RuntimeError (EmptyIndex, NotBuilt), OSError
//                 (Io, InvalidFile, UnsupportedVersion), otherwise ValueError.
//                 An Io error with a system error number is raised as
//                 OSError(errno, what()), which makes it the matching
//                 subclass (FileNotFoundError, PermissionError, ...);
//                 every other error gets what() as its only argument;
//   ConfigError   (core/config.h, an argument out of range) ValueError;
//   std::bad_alloc and std::length_error (a request larger than memory)
//                 MemoryError;
//   Interrupted   (a signal handler stopped the engine, released.h) the
//                 exception the handler raised, already set; KeyboardInterrupt
//                 if none is;
//   anything else RuntimeError.
void set_error_from_current_exception() noexcept;

// Names the file behind a pending OSError that carries an error number (its
// filename attribute); any other pending error is left as it is.
void set_error_filename(PyObject* filename) noexcept;

// Runs body() and returns its result; if it throws, sets the Python error and
// returns failure_value instead.
// First the thread's claim to its thread-local storage
// (core/exec/thread_locals.h): MemoryError when there is no room for it.
template <class Result, class Body>
Result guarded(Result failure_value, Body&& body) noexcept {
  if (!claim_thread_locals()) {
    PyErr_NoMemory();
    return failure_value;
  }
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return failure_value;
  }
}

}  // namespace teskra::py
