// search_batch, and the module functions that set how many threads the
// engine's parallel work uses.
//
// Entry points use the vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
// Each docstring starts with its text signature, for the method tables.
#pragma once

#include <Python.h>

namespace teskra::py {

// search_batch($self, queries, k, allowlist=None, threads=0)
//   -> (ids uint64 [n, k], scores float32 [n, k], counts int64 [n]);
// shared access, the engine part without the interpreter lock.
PyObject* teskra_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
extern const char kSearchBatchDoc[];

// set_num_threads(n) and get_num_threads(): the module's functions,
// registered by module.cpp's initialization.
extern PyMethodDef kThreadFunctions[];

}  // namespace teskra::py
