#include "python/batch.h"

#include "python/numpy_api.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/engine.h"
#include "core/exec/cores.h"
#include "python/args.h"
#include "python/borrow.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/object.h"
#include "python/ref.h"
#include "python/released.h"

namespace teskra::py {

namespace {

PyObject* new_array(int nd, npy_intp* dims, int type) { return PyArray_SimpleNew(nd, dims, type); }

template <class T>
std::span<T> array_span(const Ref& array, size_t count) {
  return {static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))), count};
}

}  // namespace

PyObject* teskra_search_batch(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyTeskra* self = as_teskra(op);
    SharedAccess access(self);
    if (!access) return nullptr;
    static constexpr const char* kNames[] = {"queries", "k", "allowlist", "threads"};
    PyObject* argv[4];
    if (!bind_arguments("search_batch", kNames, 2, args, nargsf, kwnames, argv)) return nullptr;
    const Teskra& engine = self->engine();

    // In search()'s order: k, the allowlist, then the queries.
    uint64_t k, threads = 0;
    if (!to_u64(argv[1], "k", &k)) return nullptr;
    std::vector<uint64_t> allow_ids;
    std::optional<std::span<const uint64_t>> allowlist;
    if (!extract_allowlist(argv[2], allow_ids, allowlist)) return nullptr;
    if (argv[3] != nullptr && !to_u64(argv[3], "threads", &threads)) return nullptr;
    QueryMatrix queries;
    const uint64_t dim = engine.config().dim;
    if (!extract_queries(argv[0], dim, queries)) return nullptr;

    const uint64_t n = queries.count;
    if (n > 0 && k > static_cast<uint64_t>(PY_SSIZE_T_MAX) / sizeof(uint64_t) / n) return PyErr_NoMemory();
    npy_intp shape[2] = {static_cast<npy_intp>(n), static_cast<npy_intp>(k)};
    Ref ids(new_array(2, shape, NPY_UINT64));
    Ref scores(ids ? new_array(2, shape, NPY_FLOAT32) : nullptr);
    Ref counts(scores ? new_array(1, shape, NPY_INT64) : nullptr);
    if (!counts) return nullptr;
    const BatchHits out{k, array_span<uint64_t>(ids, n * k), array_span<float>(scores, n * k),
                        array_span<int64_t>(counts, n)};
    {
      Unlocked unlocked;
      engine.search_batch(queries.data, dim, allowlist, out, unlocked.execution(threads));
    }
    return PyTuple_Pack(3, ids.get(), scores.get(), counts.get());
  });
}

const char kSearchBatchDoc[] =
    "search_batch($self, queries, k, allowlist=None, threads=0)\n--\n\n"
    "Search for the k nearest neighbours of many queries at once.\n\n"
    "queries: a 2-D array (any float, integer or boolean dtype, any memory\n"
    "    order; copied to float32 only when it is not already C-ordered\n"
    "    float32) or a sequence of queries of dim numbers each.\n"
    "k: the number of hits wanted per query.\n"
    "allowlist: optional ids the hits of every query are restricted to.\n"
    "threads: threads to search on; 0 follows set_num_threads() (by default\n"
    "    every core this process may use), 1 is the calling thread alone.\n"
    "    The results are the same for any value.\n\n"
    "Returns (ids, scores, counts): ids uint64 [n, k], scores float32 [n, k],\n"
    "counts int64 [n]. Row i holds exactly the hits search(queries[i], k,\n"
    "allowlist) returns, best first: counts[i] of them, the rest of the row\n"
    "id 0 and score NaN. A row is short only when that search returns fewer\n"
    "than k hits.\n\n"
    "Raises what search() raises: ValueError for a query of the wrong\n"
    "dimension, RuntimeError when the index is empty or an IvfFlat index was\n"
    "never built. No queries give empty arrays. The interpreter lock is\n"
    "released while the engine searches; Ctrl-C stops a long batch.";

namespace {

PyObject* set_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"n"};
  PyObject* argv[1];
  if (!bind_arguments("set_num_threads", kNames, 1, args, nargsf, kwnames, argv)) return nullptr;
  uint64_t n;
  if (!to_u64(argv[0], "n", &n)) return nullptr;
  set_default_threads(static_cast<size_t>(n));
  Py_RETURN_NONE;
}

PyObject* get_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  if (!bind_arguments("get_num_threads", {}, 0, args, nargsf, kwnames, nullptr)) return nullptr;
  return PyLong_FromSize_t(default_threads());
}

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef kThreadFunctions[] = {
    {"set_num_threads", as_cfunction(set_num_threads), METH_FASTCALL | METH_KEYWORDS,
     "set_num_threads(n)\n--\n\n"
     "Set how many threads add, build and search_batch use.\n\n"
     "n: 0 (the default) for every core this process may use (its CPU\n"
     "    affinity), 1 for the calling thread alone, or any other count.\n"
     "    Indexes, scores and saved files are the same for any setting. Hnsw\n"
     "    insertion stays on the calling thread whatever the setting."},
    {"get_num_threads", as_cfunction(get_num_threads), METH_FASTCALL | METH_KEYWORDS,
     "get_num_threads()\n--\n\n"
     "The thread setting of set_num_threads(): 0 means every usable core."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace teskra::py
