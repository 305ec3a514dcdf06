// NumPy's C API is a table of function pointers filled in once, by
// module.cpp at import time; every other file of the module includes this
// header and shares that table.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL teskra_numpy_api
#ifndef TESKRA_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
