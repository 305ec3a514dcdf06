#include "python/exports.h"

#include "python/numpy_api.h"

#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "core/engine.h"
#include "core/io/mapped_file.h"
#include "core/quantize/pipeline.h"
#include "core/quantize/tables.h"
#include "python/args.h"
#include "python/borrow.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/object.h"
#include "python/ref.h"

namespace teskra::py {

namespace {

// A new C-ordered array of the given shape whose buffer NumPy allocates and
// owns, filled with one block copy of count elements.
template <class T>
PyObject* array_copy(int typenum, std::initializer_list<size_t> shape, const T* data, size_t count) {
  npy_intp dims[2];
  int nd = 0;
  for (size_t extent : shape) dims[nd++] = static_cast<npy_intp>(extent);
  PyObject* array = PyArray_SimpleNew(nd, dims, typenum);
  if (array == nullptr) return nullptr;
  if (count > 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), data, count * sizeof(T));
  }
  return array;
}

constexpr char kBufferCapsule[] = "teskra.float_buffer";

void free_buffer(PyObject* capsule) {
  delete static_cast<std::vector<float>*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

// A 1-D float32 array over values' own buffer, without copying it: a capsule
// owning the vector becomes the array's base and frees it with the array.
PyObject* array_taking(std::vector<float> values) {
  // NumPy reads a null data pointer as "allocate for me": an empty vector
  // (which may have none) takes the ordinary path.
  if (values.empty()) return array_copy<float>(NPY_FLOAT32, {0}, nullptr, 0);
  auto owned = std::make_unique<std::vector<float>>(std::move(values));
  npy_intp dims[1] = {static_cast<npy_intp>(owned->size())};
  float* data = owned->data();
  Ref capsule(PyCapsule_New(owned.get(), kBufferCapsule, free_buffer));
  if (!capsule) return nullptr;
  owned.release();  // the capsule frees it from here on
  PyObject* array = PyArray_SimpleNewFromData(1, dims, NPY_FLOAT32, data);  // C-ordered, writable
  if (array == nullptr) return nullptr;
  // Steals the capsule reference, on failure too.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule.release()) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

constexpr char kMappingCapsule[] = "teskra.mapping";

void free_mapping(PyObject* capsule) {
  delete static_cast<std::shared_ptr<const MappedFile>*>(PyCapsule_GetPointer(capsule, kMappingCapsule));
}

// An export of the store's count elements at data. Other engines: a new
// writable copy. A view: a read-only array over the file's pages when data
// lies in the mapping (a capsule holding the mapping is its base, so the
// pages stay mapped while the array lives), else (values the file holds
// misaligned, which the view copied) a read-only copy.
template <class T>
PyObject* export_array(const Teskra& engine, int typenum, std::initializer_list<size_t> shape, const T* data,
                       size_t count) {
  const std::shared_ptr<const MappedFile>& mapping = engine.mapping();
  if (mapping && count > 0 && mapping->contains(data, count * sizeof(T))) {
    auto keep = std::make_unique<std::shared_ptr<const MappedFile>>(mapping);
    Ref capsule(PyCapsule_New(keep.get(), kMappingCapsule, free_mapping));
    if (!capsule) return nullptr;
    keep.release();  // the capsule frees it from here on
    npy_intp dims[2];
    int nd = 0;
    for (size_t extent : shape) dims[nd++] = static_cast<npy_intp>(extent);
    // Without NPY_ARRAY_WRITEABLE: the pages are mapped read-only.
    PyObject* array = PyArray_New(&PyArray_Type, nd, dims, typenum, nullptr, const_cast<T*>(data), 0,
                                  NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr);
    if (array == nullptr) return nullptr;
    // Steals the capsule reference, on failure too.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule.release()) < 0) {
      Py_DECREF(array);
      return nullptr;
    }
    return array;
  }
  PyObject* array = array_copy(typenum, shape, data, count);
  if (array != nullptr && mapping)
    PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(array), NPY_ARRAY_WRITEABLE);
  return array;
}

PyObject* float_list(const std::vector<float>& values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// The store exports show the flat store, which only a BruteForce index
// searches; for the other types it is empty or about to be emptied.
bool require_brute_force(const Teskra& engine, const char* method) {
  if (engine.index_type() == IndexType::BruteForce) return true;
  PyErr_Format(PyExc_RuntimeError, "%s() is only available for BruteForce indexes", method);
  return false;
}

// Converts sample_vecs and profiles it with the engine's configuration.
bool profile(const Teskra& engine, PyObject* sample_vecs, std::vector<float>& out) {
  std::vector<std::vector<float>> samples;
  if (!extract_vectors(sample_vecs, engine.config().dim, samples)) return false;
  out = QuantPipeline::profile_variance(engine.config(), samples);
  return true;
}

}  // namespace

PyObject* teskra_transform_query_np(PyObject* op, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) {
  return with_shared(op, [&](Teskra& e) -> PyObject* {
    static constexpr const char* kNames[] = {"query"};
    PyObject* argv[1];
    if (!bind_arguments("transform_query_np", kNames, 1, args, nargsf, kwnames, argv)) return nullptr;
    std::vector<float> query;
    if (!extract_vector(argv[0], e.config().dim, query)) return nullptr;
    return array_taking(e.pipeline().transform_query(query));
  });
}

PyObject* teskra_packed_data(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_shared(op, [&](Teskra& e) -> PyObject* {
    if (!no_arguments("packed_data", args, nargsf, kwnames) || !require_brute_force(e, "packed_data")) {
      return nullptr;
    }
    const auto& codes = e.codes();
    const size_t width = static_cast<size_t>(e.packed_bytes_per_vec());  // at least 1
    const size_t rows = codes.size() / width;
    return export_array(e, NPY_UINT8, {rows, width}, codes.data(), rows * width);
  });
}

PyObject* teskra_vector_norms(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_shared(op, [&](Teskra& e) -> PyObject* {
    if (!no_arguments("vector_norms", args, nargsf, kwnames) || !require_brute_force(e, "vector_norms")) {
      return nullptr;
    }
    const auto& norms = e.norms();
    return export_array(e, NPY_FLOAT32, {norms.size()}, norms.data(), norms.size());
  });
}

PyObject* teskra_vector_ids(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_shared(op, [&](Teskra& e) -> PyObject* {
    if (!no_arguments("vector_ids", args, nargsf, kwnames) || !require_brute_force(e, "vector_ids")) {
      return nullptr;
    }
    const auto& ids = e.ids();
    return export_array(e, NPY_UINT64, {ids.size()}, ids.data(), ids.size());
  });
}

PyObject* teskra_centroids_4bit(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!no_arguments("centroids_4bit", args, nargsf, kwnames)) return nullptr;
    return array_copy(NPY_FLOAT32, {CENTROIDS_4BIT.size()}, CENTROIDS_4BIT.data(), CENTROIDS_4BIT.size());
  });
}

PyObject* teskra_centroids_2bit(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!no_arguments("centroids_2bit", args, nargsf, kwnames)) return nullptr;
    return array_copy(NPY_FLOAT32, {CENTROIDS_2BIT.size()}, CENTROIDS_2BIT.data(), CENTROIDS_2BIT.size());
  });
}

PyObject* teskra_profile_variance(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_shared(op, [&](Teskra& e) -> PyObject* {
    static constexpr const char* kNames[] = {"sample_vecs"};
    PyObject* argv[1];
    if (!bind_arguments("profile_variance", kNames, 1, args, nargsf, kwnames, argv)) return nullptr;
    std::vector<float> variances;
    if (!profile(e, argv[0], variances)) return nullptr;
    return float_list(variances);
  });
}

PyObject* teskra_optimal_n4_dims(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_shared(op, [&](Teskra& e) -> PyObject* {
    static constexpr const char* kNames[] = {"sample_vecs", "avg_bits"};
    PyObject* argv[2];
    if (!bind_arguments("optimal_n4_dims", kNames, 2, args, nargsf, kwnames, argv)) return nullptr;
    float avg_bits;
    if (!to_f32(argv[1], "avg_bits", &avg_bits)) return nullptr;
    std::vector<float> variances;
    if (!profile(e, argv[0], variances)) return nullptr;
    // Only the profile's length (the padded dimension) enters the split; the
    // profiling itself is what rejects an empty or malformed sample.
    return PyLong_FromUnsignedLongLong(optimal_n4_dims(avg_bits, variances.size()));
  });
}

const char kTransformQueryNpDoc[] =
    "transform_query_np($self, query)\n--\n\n"
    "Apply the full query pipeline (standardization \u2192 RHDH \u2192 scale).\n\n"
    "query: dim numbers, converted as for search().\n\n"
    "Returns a new float32 array of padded_dim values: the query normalized\n"
    "(cosine) or standardized (l2 after fit), rotated and scaled exactly as\n"
    "search() prepares it. Its inner product with a dequantized row of\n"
    "packed_data() is the raw score of that vector.";

const char kPackedDataDoc[] =
    "packed_data($self)\n--\n\n"
    "Raw packed vector data as a uint8 numpy array of shape ``[n, packed_bytes_per_vec]``.\n\n"
    "Row i is the code of the i-th stored vector, in insertion order. The first\n"
    "pb4_per_vec bytes hold the 4-bit codes of padded coordinates 0 .. n4_dims-1,\n"
    "two per byte, the even coordinate in the low nibble; the rest hold 2-bit\n"
    "codes of the remaining coordinates, four per byte from the lowest bits up.\n"
    "Dequantize with centroids_4bit() and centroids_2bit(), take the inner\n"
    "product with transform_query_np(query) and adjust by the stored norm n\n"
    "(vector_norms()): cosine raw / n (raw when n <= 1e-9), dot raw,\n"
    "l2 raw + n * (n * -0.5). The result ranks as search() does.\n\n"
    "A copy: writing to it does not change the index (of a view: a read-only\n"
    "array over the file's pages).\n"
    "Raises RuntimeError unless the index type is BruteForce.";

const char kVectorNormsDoc[] =
    "vector_norms($self)\n--\n\n"
    "Per-vector quantized norms as a float32 numpy array of shape ``[n]``.\n\n"
    "The Euclidean norm of each dequantized code in the scaled space, parallel\n"
    "to the rows of packed_data(); empty for an index loaded from a file that\n"
    "stores no norms. Raises RuntimeError unless the index type is BruteForce.";

const char kVectorIdsDoc[] =
    "vector_ids($self)\n--\n\n"
    "Vector IDs as a uint64 numpy array of shape ``[n]``.\n\n"
    "Parallel to the rows of packed_data(). Raises RuntimeError unless the\n"
    "index type is BruteForce.";

const char kCentroids4bitDoc[] =
    "centroids_4bit()\n--\n\n"
    "4-bit Lloyd-Max centroid table as float32 numpy array of shape ``[16]``.\n\n"
    "Entry k is the value code k stands for (the standard normal's 16-level\n"
    "Lloyd-Max codebook); antisymmetric: entry 15 - k is -entry k.";

const char kCentroids2bitDoc[] =
    "centroids_2bit()\n--\n\n"
    "2-bit Lloyd-Max centroid table as float32 numpy array of shape ``[4]``.\n\n"
    "Entry k is the value code k stands for; entry 3 - k is -entry k.";

const char kProfileVarianceDoc[] =
    "profile_variance($self, sample_vecs)\n--\n\n"
    "Profile per-dimension variance of RHDH-rotated embeddings.\n\n"
    "sample_vecs: vectors of dim numbers (50-500 are plenty).\n\n"
    "Returns padded_dim floats: the population variance of each coordinate in\n"
    "the rotated, scaled space codes are taken in (cosine samples normalized\n"
    "first; standardization is not applied). Values near 1.0 show that the\n"
    "rotation has equalised the coordinates. The index is not changed.\n"
    "Raises ValueError for an empty sample.";

const char kOptimalN4DimsDoc[] =
    "optimal_n4_dims($self, sample_vecs, avg_bits)\n--\n\n"
    "Compute the optimal n4_dims for a given average bit budget.\n\n"
    "avg_bits: the wanted bits per padded coordinate, clamped to [2, 4].\n"
    "sample_vecs: vectors of dim numbers; profiled to validate the sample.\n\n"
    "Returns the number of 4-bit coordinates that makes the layout average\n"
    "avg_bits, rounded to the nearest integer and down to a multiple of 4: a\n"
    "value to pass as n4_dims to the constructor. NaN gives 0.";

}  // namespace teskra::py
