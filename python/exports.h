// The NumPy exports and the profiling methods of teskra.Teskra: the index's
// internal data handed out as arrays, so callers can score queries on their
// own hardware with exactly the engine's arithmetic, and the tools for
// choosing a mixed 4-bit/2-bit layout.
//
// Every returned array is new, writable, C-ordered and owns its memory: data
// of the index is copied once at call time, so writing to an array never
// changes the index and later changes of the index never show in it. Store
// exports (packed_data, vector_norms, vector_ids) exist only for BruteForce
// indexes, tested on the configured index type. The store exports of a view
// (Teskra.view) are the exception: read-only arrays over the file's pages,
// which keep the mapping alive (read-only copies where the view holds a
// copy of misaligned values); a view never changes.
//
// Entry points use the vectorcall convention (METH_FASTCALL | METH_KEYWORDS);
// the centroid tables are static methods (self is NULL). Each docstring
// starts with its text signature, for module.cpp's method table.
#pragma once

#include <Python.h>

namespace teskra::py {

// transform_query_np($self, query) -> float32 [padded_dim]; shared access.
// The pipeline's output vector becomes the array's buffer without a copy.
PyObject* teskra_transform_query_np(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames);
// packed_data($self) -> uint8 [n, packed_bytes_per_vec]; shared access.
PyObject* teskra_packed_data(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// vector_norms($self) -> float32 [number of stored norms]; shared access.
PyObject* teskra_vector_norms(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// vector_ids($self) -> uint64 [n]; shared access.
PyObject* teskra_vector_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// centroids_4bit() -> float32 [16], centroids_2bit() -> float32 [4]: new
// arrays of the codebooks each call.
PyObject* teskra_centroids_4bit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* teskra_centroids_2bit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// profile_variance($self, sample_vecs) -> list of padded_dim floats; shared.
PyObject* teskra_profile_variance(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames);
// optimal_n4_dims($self, sample_vecs, avg_bits) -> int; shared. avg_bits is
// converted before sample_vecs; the sample is profiled (and so validated)
// although only the profile's length enters the result.
PyObject* teskra_optimal_n4_dims(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

extern const char kTransformQueryNpDoc[];
extern const char kPackedDataDoc[];
extern const char kVectorNormsDoc[];
extern const char kVectorIdsDoc[];
extern const char kCentroids4bitDoc[];
extern const char kCentroids2bitDoc[];
extern const char kProfileVarianceDoc[];
extern const char kOptimalN4DimsDoc[];

}  // namespace teskra::py
