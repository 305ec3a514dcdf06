// Argument binding and scalar conversion for the module's entry points.
//
// Methods use the vectorcall convention (METH_FASTCALL | METH_KEYWORDS);
// bind_arguments maps positional and keyword arguments onto the parameter
// names the way the interpreter does for Python functions. The scalar
// converters report a wrong type as TypeError and an out-of-range value as
// OverflowError, both prefixed with "argument '<name>': ". Exceptions raised
// by Python code they call (a user __index__ or __float__) pass unchanged.
//
// All functions return false (or nullptr) with a Python error set on failure.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

namespace teskra::py {

// Fills out[i] with a borrowed reference to the argument bound to names[i],
// or nullptr when it was not given. The first n_required names must be given.
bool bind_arguments(const char* function, std::span<const char* const> names, size_t n_required,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);
// A method that takes no arguments was given none.
inline bool no_arguments(const char* method, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return bind_arguments(method, {}, 0, args, nargsf, kwnames, nullptr);
}

// An int, or an object with __index__, in 0 .. 2^64 - 1.
bool to_u64(PyObject* obj, const char* name, uint64_t* out);
// The same, at most 255.
bool to_u8(PyObject* obj, const char* name, uint8_t* out);
// None (or an absent argument, obj == nullptr) gives nullopt.
bool to_optional_u64(PyObject* obj, const char* name, std::optional<uint64_t>* out);
// Anything float() accepts, narrowed to single precision (beyond the range
// gives +-inf).
bool to_f32(PyObject* obj, const char* name, float* out);
// The same, but None gives nullopt.
bool to_optional_f32(PyObject* obj, const char* name, std::optional<float>* out);
// A str (or subclass); returns a new reference.
PyObject* to_str(PyObject* obj, const char* name);

}  // namespace teskra::py
