// NumPy's C API is a table of function pointers filled in by module.cpp when
// the module is executed; every other file of the module includes this
// header and shares that table. It stays a process-wide symbol rather than
// module state: every PyArray_* macro reads it by this name, and it is the
// same table for every module object of the process.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL teskra_numpy_api
#ifndef TESKRA_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
