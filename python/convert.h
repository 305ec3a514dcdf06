// Conversion of vector and id arguments from Python objects.
//
// Vectors: NumPy float32 arrays (native byte order) take block copies, or, for
// add, no copy at all (flat_view); everything else goes through the generic
// conversion: a sequence that is not a str, whose elements are taken by
// iteration and converted with float(), then narrowed to single precision.
// That may run Python code (__iter__, __float__), which is why callers take
// the instance's access before converting.
//
// Every function returns false (or nullopt) with a Python error set on
// failure; nothing of a failed conversion is kept. They may throw
// std::bad_alloc, which the entry point's guard translates.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "python/ref.h"

namespace teskra::py {

// One vector of exactly dim floats (a query).
//   1-D float32 array: TypeError "The given array is not contiguous" unless C-
//   or Fortran-contiguous; then a single block copy.
//   Any length other than dim: ValueError
//   "query dimension mismatch: expected {dim}, got {len}".
bool extract_vector(PyObject* obj, uint64_t dim, std::vector<float>& out);

// A batch of vectors of dim floats each, one per row, in input order.
//   2-D float32 array [n, c]: ValueError "vector dimension mismatch: expected
//   {dim}, got {c}" when c != dim, then TypeError "The given array is not
//   contiguous" unless C- or Fortran-contiguous; row i is the logical row
//   whatever the memory order.
//   Otherwise a sequence of rows; once all rows are converted, the first row
//   of the wrong length gives ValueError "vector {i} dimension mismatch:
//   expected {dim}, got {len}".
bool extract_vectors(PyObject* obj, uint64_t dim, std::vector<std::vector<float>>& out);

// The row count of a float32 matrix that extract_vectors would accept (dim
// columns, contiguous), known without converting it; nullopt for any other
// input. Lets add() and upsert() compare it with the id count before
// materializing rows: a zero-column array can claim any number of rows at
// no memory cost.
std::optional<uint64_t> matrix_rows(PyObject* obj, uint64_t dim);

// A batch that add() and upsert() can hand to the engine without copying: a
// C-contiguous 2-D float32 array with a data buffer and at least one column,
// read in place while the array (and the interpreter lock) is held. Zero-column arrays are
// declined: they go through extract_vectors, which turns them into that many
// empty rows exactly as a list of empty lists would be.
struct FlatView {
  const float* data;
  uint64_t rows;
  uint64_t cols;
};
std::optional<FlatView> flat_view(PyObject* obj);

// The queries of search_batch: rows of dim float32 values back to back at
// data. Each row holds exactly the floats search() would take from the same
// row given alone:
//   a 2-D NumPy array of floats, integers or booleans: float32 (native, C
//   order) is read in place, with a reference held in owner; float16 and
//   float64 are cast to float32, other kinds through float64 first, as the
//   element-wise conversion of search() goes through a Python float;
//   another array, or anything else that is a sequence (not a str): each
//   row converted by extract_vector, with its errors.
// An array of another number of dimensions is a ValueError; a row or array
// of the wrong width the query dimension mismatch.
struct QueryMatrix {
  Ref owner;                // the array read in place, if one is
  std::vector<float> rows;  // the converted rows otherwise
  const float* data = nullptr;
  uint64_t count = 0;
};
bool extract_queries(PyObject* obj, uint64_t dim, QueryMatrix& out);

// An id list: a list, tuple or other sequence (not a str) of ints or objects
// with __index__, or a 1-D NumPy integer array. A set or other non-sequence
// is a TypeError; a negative or too large id an OverflowError. Our own errors
// name the argument: "argument '<name>': ...".
bool extract_ids(PyObject* obj, const char* name, std::vector<uint64_t>& out);

// The searches' optional `allowlist` argument: absent (nullptr) or None
// leaves out empty; otherwise the ids (extract_ids) go into storage and out
// spans them.
bool extract_allowlist(PyObject* obj, std::vector<uint64_t>& storage,
                       std::optional<std::span<const uint64_t>>& out);

}  // namespace teskra::py
