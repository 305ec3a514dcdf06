// The teskra extension module: the class Teskra around one engine, its
// constructor, properties and methods.
//
// Every entry point follows the same shape: take the instance's access
// (shared or exclusive, borrow.h) before any argument conversion can run
// Python code, convert the arguments, call exactly one engine operation,
// convert the result. The C++ body runs inside guarded(), so no C++
// exception ever reaches the interpreter. The engine operations that take
// time (add, remove, upsert, search, search_batch, build, save, load) run
// without the interpreter lock (released.h).
//
// The module is initialized in two phases: PyInit_teskra only hands the
// interpreter the module definition, and exec_module fills in each module
// object it creates. What the module needs at run time (the class, the
// interned dict keys of a search hit) lives in that module object's state,
// found from a method through the class it was called on.
#define TESKRA_NUMPY_API_OWNER
#include "python/numpy_api.h"

#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/config.h"
#include "core/engine.h"
#include "core/types.h"
#include "python/args.h"
#include "python/batch.h"
#include "python/borrow.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/exports.h"
#include "python/object.h"
#include "python/ref.h"
#include "python/released.h"

// The package version, from the one in CMakeLists.txt's project().
#ifndef TESKRA_VERSION
#error "TESKRA_VERSION must be defined by the build"
#endif

namespace teskra::py {
namespace {

// ---------------------------------------------------------------------------
// Module state.

// Owned references, set by exec_module and released with the module.
struct ModuleState {
  PyTypeObject* teskra_type;
  // The keys of a search hit's dict, interned once.
  PyObject* key_id;
  PyObject* key_score;
};

extern PyModuleDef teskra_module;

// The state of the module that defined type (a borrowed view); nullptr with
// TypeError set when type is none of ours.
ModuleState* state_of(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &teskra_module);
  return module == nullptr ? nullptr : static_cast<ModuleState*>(PyModule_GetState(module));
}

// ---------------------------------------------------------------------------
// Helpers shared by the entry points.

PyObject* bool_result(bool v) { return Py_NewRef(v ? Py_True : Py_False); }

// A new instance of type owning the engine built from args in place. If
// the engine's constructor throws, the half-made object is released and the
// exception passes on: no instance escapes.
template <class... Args>
PyObject* new_instance(PyTypeObject* type, Args&&... args) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  PyTeskra* self = as_teskra(obj);
  init_access(self);
  self->engine_live = false;
  try {
    new (self->engine_storage) Teskra(std::forward<Args>(args)...);
  } catch (...) {
    Py_DECREF(obj);
    throw;
  }
  self->engine_live = true;
  return obj;
}

// ---------------------------------------------------------------------------
// Constructor.

// Calls str.lower of the str type itself, so a subclass's override of
// lower() cannot change what the engine is configured with.
Ref lower_text(PyObject* text) {
  Ref exact(PyUnicode_FromObject(text));
  if (!exact) return Ref();
  return Ref(PyObject_CallMethod(exact.get(), "lower", nullptr));
}

bool text_is(const Ref& text, const char* ascii) {
  return PyUnicode_CompareWithASCIIString(text.get(), ascii) == 0;
}

std::optional<Metric> parse_metric(PyObject* text) {
  Ref lowered = lower_text(text);
  if (!lowered) return std::nullopt;
  if (text_is(lowered, "cosine")) return Metric::Cosine;
  if (text_is(lowered, "dot") || text_is(lowered, "dot_product")) return Metric::Dot;
  if (text_is(lowered, "l2") || text_is(lowered, "euclidean")) return Metric::L2;
  PyErr_Format(PyExc_ValueError, "unknown metric '%U': use 'cosine', 'dot', or 'l2'", lowered.get());
  return std::nullopt;
}

std::optional<IndexType> parse_index_type(PyObject* text) {
  Ref lowered = lower_text(text);
  if (!lowered) return std::nullopt;
  Ref hyphen(PyUnicode_FromString("-"));
  Ref underscore(PyUnicode_FromString("_"));
  if (!hyphen || !underscore) return std::nullopt;
  Ref normalized(PyUnicode_Replace(lowered.get(), hyphen.get(), underscore.get(), -1));
  if (!normalized) return std::nullopt;
  if (text_is(normalized, "brute_force") || text_is(normalized, "bruteforce") ||
      text_is(normalized, "brute")) {
    return IndexType::BruteForce;
  }
  if (text_is(normalized, "ivf_flat") || text_is(normalized, "ivfflat") || text_is(normalized, "ivf")) {
    return IndexType::IvfFlat;
  }
  if (text_is(normalized, "hnsw")) return IndexType::Hnsw;
  PyErr_Format(PyExc_ValueError, "unknown index_type '%U': use 'brute_force', 'ivf_flat', or 'hnsw'",
               normalized.get());
  return std::nullopt;
}

std::optional<HnswSelection> parse_hnsw_selection(PyObject* text) {
  Ref lowered = lower_text(text);
  if (!lowered) return std::nullopt;
  if (text_is(lowered, "diverse")) return HnswSelection::Diverse;
  if (text_is(lowered, "nearest")) return HnswSelection::Nearest;
  PyErr_Format(PyExc_ValueError, "unknown hnsw_selection '%U': use 'diverse' or 'nearest'", lowered.get());
  return std::nullopt;
}

PyObject* teskra_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {
        "dim",       "metric",     "bit_width", "index_type",           "mixed_ratio",    "n4_dims",
        "ivf_nlist", "ivf_nprobe", "hnsw_m",    "hnsw_ef_construction", "hnsw_ef_search", "hnsw_selection",
        nullptr};
    PyObject *o_dim, *o_metric = nullptr, *o_bit_width = nullptr, *o_index_type = nullptr,
                     *o_mixed_ratio = nullptr, *o_n4_dims = nullptr, *o_ivf_nlist = nullptr,
                     *o_ivf_nprobe = nullptr, *o_hnsw_m = nullptr, *o_hnsw_efc = nullptr,
                     *o_hnsw_efs = nullptr, *o_hnsw_selection = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOOOOOOOOO:Teskra", const_cast<char**>(kwlist), &o_dim,
                                     &o_metric, &o_bit_width, &o_index_type, &o_mixed_ratio, &o_n4_dims,
                                     &o_ivf_nlist, &o_ivf_nprobe, &o_hnsw_m, &o_hnsw_efc, &o_hnsw_efs,
                                     &o_hnsw_selection)) {
      return nullptr;
    }

    // Every argument is converted, in parameter order, before any is
    // interpreted: the first conversion failure is the one reported.
    uint64_t dim = 0;
    uint8_t bit_width = 4;
    std::optional<float> mixed_ratio;
    std::optional<uint64_t> n4_dims;
    uint64_t ivf_nlist = kDefaultIvfNlist, ivf_nprobe = kDefaultIvfNprobe, hnsw_m = kDefaultHnswM,
             hnsw_efc = kDefaultHnswEfConstruction, hnsw_efs = 0;
    if (!to_u64(o_dim, "dim", &dim)) return nullptr;
    Ref metric_text(o_metric ? to_str(o_metric, "metric") : PyUnicode_FromString("cosine"));
    if (!metric_text) return nullptr;
    Ref type_text, selection_text;
    const bool converted = (o_bit_width == nullptr || to_u8(o_bit_width, "bit_width", &bit_width)) &&
                           (type_text = Ref(o_index_type ? to_str(o_index_type, "index_type")
                                                         : PyUnicode_FromString("brute_force"))) &&
                           to_optional_f32(o_mixed_ratio, "mixed_ratio", &mixed_ratio) &&
                           to_optional_u64(o_n4_dims, "n4_dims", &n4_dims) &&
                           (o_ivf_nlist == nullptr || to_u64(o_ivf_nlist, "ivf_nlist", &ivf_nlist)) &&
                           (o_ivf_nprobe == nullptr || to_u64(o_ivf_nprobe, "ivf_nprobe", &ivf_nprobe)) &&
                           (o_hnsw_m == nullptr || to_u64(o_hnsw_m, "hnsw_m", &hnsw_m)) &&
                           (o_hnsw_efc == nullptr || to_u64(o_hnsw_efc, "hnsw_ef_construction", &hnsw_efc)) &&
                           (o_hnsw_efs == nullptr || to_u64(o_hnsw_efs, "hnsw_ef_search", &hnsw_efs)) &&
                           (selection_text = Ref(o_hnsw_selection ? to_str(o_hnsw_selection, "hnsw_selection")
                                                                  : PyUnicode_FromString("diverse")));
    // Then the texts in parameter order; a bad metric is reported before a
    // bad index type.
    std::optional<Metric> metric;
    std::optional<IndexType> index_type;
    std::optional<HnswSelection> selection;
    if (converted) metric = parse_metric(metric_text.get());
    if (metric) index_type = parse_index_type(type_text.get());
    if (index_type) selection = parse_hnsw_selection(selection_text.get());
    if (!selection) return nullptr;

    // Parameters of the other index types stay 0: never validated, never stored.
    EngineConfig config;
    config.dim = dim;
    config.n4_dims = resolve_n4_dims(dim, bit_width, mixed_ratio, n4_dims);
    config.seed = kDefaultSeed;
    config.bit_width = bit_width;
    config.metric = *metric;
    config.index_type = *index_type;
    if (*index_type == IndexType::IvfFlat) {
      config.ivf_nlist = ivf_nlist;
      config.ivf_nprobe = ivf_nprobe;
    } else if (*index_type == IndexType::Hnsw) {
      config.hnsw_m = hnsw_m;
      config.hnsw_ef_construction = hnsw_efc;
      config.hnsw_ef_search = hnsw_efs;
      config.hnsw_selection = *selection;
    }

    // The engine checks the configuration (config.h) before building
    // anything: ConfigError and InvalidBitWidth become ValueError.
    return new_instance(type, config);
  });
}

void teskra_dealloc(PyObject* op) {
  PyTypeObject* type = Py_TYPE(op);
  PyTeskra* self = as_teskra(op);
  if (self->engine_live) {
    std::destroy_at(&self->engine());
    self->engine_live = false;
  }
  std::destroy_at(&self->access);
  type->tp_free(op);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

// ---------------------------------------------------------------------------
// len(), repr() and the properties: shared access.

Py_ssize_t teskra_len(PyObject* op) {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    PyTeskra* self = as_teskra(op);
    SharedAccess access(self);
    if (!access) return -1;
    const uint64_t n = self->engine().n_vectors();
    if (n > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "vector count does not fit in a Py_ssize_t");
      return -1;
    }
    return static_cast<Py_ssize_t>(n);
  });
}

PyObject* teskra_repr(PyObject* op) {
  return with_shared(op, [](Teskra& e) {
    const EngineConfig& c = e.config();
    return PyUnicode_FromFormat("Teskra(dim=%llu, n=%llu, bit_width=%u, index_type=%s)",
                                static_cast<unsigned long long>(c.dim),
                                static_cast<unsigned long long>(e.n_vectors()),
                                static_cast<unsigned>(c.bit_width), index_type_name(e.index_type()).data());
  });
}

PyObject* u64_result(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* get_n_vectors(PyObject* op, void*) {
  return with_shared(op, [](Teskra& e) { return u64_result(e.n_vectors()); });
}
PyObject* get_dim(PyObject* op, void*) {
  return with_shared(op, [](Teskra& e) { return u64_result(e.config().dim); });
}
PyObject* get_bit_width(PyObject* op, void*) {
  return with_shared(op, [](Teskra& e) { return PyLong_FromLong(e.config().bit_width); });
}
PyObject* get_index_type(PyObject* op, void*) {
  return with_shared(op, [](Teskra& e) {
    const std::string_view name = index_type_name(e.index_type());
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}
PyObject* get_n4_dims(PyObject* op, void*) {
  return with_shared(op, [](Teskra& e) { return u64_result(e.config().n4_dims); });
}
PyObject* get_metric(PyObject* op, void*) {
  return with_shared(op, [](Teskra& e) {
    const std::string_view name = metric_name(e.metric());
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}
PyObject* get_padded_dim(PyObject* op, void*) {
  return with_shared(op, [](Teskra& e) { return u64_result(e.pipeline().padded_dim()); });
}
PyObject* get_packed_bytes_per_vec(PyObject* op, void*) {
  return with_shared(op, [](Teskra& e) { return u64_result(e.pipeline().packed_bytes_per_vec()); });
}
PyObject* get_hnsw_selection(PyObject* op, void*) {
  return with_shared(op, [](Teskra& e) -> PyObject* {
    if (e.index_type() != IndexType::Hnsw) Py_RETURN_NONE;
    const std::string_view name = hnsw_selection_name(e.config().hnsw_selection);
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}
PyObject* get_is_view(PyObject* op, void*) {
  return with_shared(op, [](Teskra& e) { return bool_result(e.is_view()); });
}
PyObject* get_pb4_per_vec(PyObject* op, void*) {
  return with_shared(op, [](Teskra& e) { return u64_result(e.pipeline().pb4()); });
}

PyGetSetDef teskra_getset[] = {
    {"n_vectors", get_n_vectors, nullptr, "Number of indexed vectors.", nullptr},
    {"dim", get_dim, nullptr, "Vector dimension.", nullptr},
    {"bit_width", get_bit_width, nullptr, "Quantization bit width (2 or 4).", nullptr},
    {"index_type", get_index_type, nullptr, "Index algorithm: 'BruteForce', 'IvfFlat', or 'Hnsw'.", nullptr},
    {"n4_dims", get_n4_dims, nullptr,
     "Dims quantized at 4-bit in padded space (0 = pure 2-bit, padded_dim = pure 4-bit).", nullptr},
    {"metric", get_metric, nullptr, "Distance metric: 'cosine', 'dot', or 'l2'.", nullptr},
    {"padded_dim", get_padded_dim, nullptr, "RHDH output dimension (`dim.next_power_of_two()`).", nullptr},
    {"packed_bytes_per_vec", get_packed_bytes_per_vec, nullptr, "Bytes per packed vector.", nullptr},
    {"pb4_per_vec", get_pb4_per_vec, nullptr,
     "Bytes in the 4-bit block per packed vector (0 for pure 2-bit).", nullptr},
    {"hnsw_selection", get_hnsw_selection, nullptr,
     "Hnsw: how nodes choose their neighbours, 'diverse' or 'nearest'; None for other index types.", nullptr},
    {"is_view", get_is_view, nullptr,
     "True for an index served in place from its file by Teskra.view(), which cannot change.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Methods.

PyObject* raise_count_mismatch(uint64_t ids, uint64_t vectors) {
  PyErr_Format(PyExc_ValueError, "ids length (%llu) != vectors length (%llu)",
               static_cast<unsigned long long>(ids), static_cast<unsigned long long>(vectors));
  return nullptr;
}

// add and upsert: the same arguments, converted alike, with the same errors
// in the same order; then one engine call adds the batch or, for upsert,
// puts it in place of every vector stored under its ids.
PyObject* store_batch(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      bool upsert) {
  return with_exclusive(op, [&](Teskra& engine) -> PyObject* {
    // A view refuses before its arguments are looked at.
    engine.require_changeable(upsert ? "upsert into" : "add to");
    static constexpr const char* kNames[] = {"ids", "vectors"};
    PyObject* argv[2];
    if (!bind_arguments(upsert ? "upsert" : "add", kNames, 2, args, nargsf, kwnames, argv)) return nullptr;
    const uint64_t dim = engine.config().dim;

    std::vector<uint64_t> ids;
    if (!extract_ids(argv[0], "ids", ids)) return nullptr;

    if (std::optional<FlatView> flat = flat_view(argv[1])) {
      if (flat->cols != dim) {
        PyErr_Format(PyExc_ValueError, "vector dimension mismatch: expected %llu, got %llu",
                     static_cast<unsigned long long>(dim), static_cast<unsigned long long>(flat->cols));
        return nullptr;
      }
      if (ids.size() != flat->rows) return raise_count_mismatch(ids.size(), flat->rows);
      // Read in place without the interpreter lock: our own reference keeps
      // the array, and its buffer, from going away or being resized (NumPy
      // refuses to resize an array others refer to).
      const Ref array(Py_NewRef(argv[1]));
      const std::span<const float> values(flat->data, flat->rows * flat->cols);
      Unlocked unlocked;
      if (upsert) {
        engine.upsert_flat(ids, values, unlocked.execution());
      } else {
        engine.add_flat(ids, values, unlocked.execution());
      }
      Py_RETURN_NONE;
    }

    // Same errors in the same order as converting first: a matrix that
    // converts without error is only refused for its row count.
    if (std::optional<uint64_t> rows = matrix_rows(argv[1], dim); rows && *rows != ids.size()) {
      return raise_count_mismatch(ids.size(), *rows);
    }
    std::vector<std::vector<float>> vectors;
    if (!extract_vectors(argv[1], dim, vectors)) return nullptr;
    if (ids.size() != vectors.size()) return raise_count_mismatch(ids.size(), vectors.size());
    {
      Unlocked unlocked;
      if (upsert) {
        engine.upsert(ids, vectors, unlocked.execution());
      } else {
        engine.add(ids, vectors, unlocked.execution());
      }
    }
    Py_RETURN_NONE;
  });
}

PyObject* teskra_add(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return store_batch(op, args, nargsf, kwnames, false);
}

PyObject* teskra_upsert(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return store_batch(op, args, nargsf, kwnames, true);
}

PyObject* teskra_remove(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_exclusive(op, [&](Teskra& engine) -> PyObject* {
    engine.require_changeable("remove from");
    static constexpr const char* kNames[] = {"ids"};
    PyObject* argv[1];
    if (!bind_arguments("remove", kNames, 1, args, nargsf, kwnames, argv)) return nullptr;
    std::vector<uint64_t> ids;
    if (!extract_ids(argv[0], "ids", ids)) return nullptr;
    uint64_t removed = 0;
    {
      Unlocked unlocked;
      removed = engine.remove(ids, unlocked.execution());
    }
    return u64_result(removed);
  });
}

PyObject* make_hit(const ModuleState& state, const SearchHit& hit) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  PyObject* id = PyLong_FromUnsignedLongLong(hit.id);
  PyObject* score = id ? PyFloat_FromDouble(static_cast<double>(hit.score)) : nullptr;
  const bool ok = score != nullptr && PyDict_SetItem(dict, state.key_id, id) == 0 &&
                  PyDict_SetItem(dict, state.key_score, score) == 0;
  Py_XDECREF(id);
  Py_XDECREF(score);
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

// Indexes smaller than this are searched with the interpreter lock held.
constexpr uint64_t kKeepLockBelow = 256;

PyObject* teskra_search(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyTeskra* self = as_teskra(op);
    SharedAccess access(self);
    if (!access) return nullptr;
    static constexpr const char* kNames[] = {"query", "k", "allowlist"};
    PyObject* argv[3];
    if (!bind_arguments("search", kNames, 2, args, nargsf, kwnames, argv)) return nullptr;
    const Teskra& engine = self->engine();

    uint64_t k;
    if (!to_u64(argv[1], "k", &k)) return nullptr;
    std::vector<uint64_t> allow_ids;
    std::optional<std::span<const uint64_t>> allowlist;
    if (!extract_allowlist(argv[2], allow_ids, allowlist)) return nullptr;
    std::vector<float> query;
    if (!extract_vector(argv[0], engine.config().dim, query)) return nullptr;

    // A search of a small index ends sooner than another thread could take
    // the interpreter lock over: letting it go would only cost time.
    std::vector<SearchHit> hits;
    if (engine.n_vectors() < kKeepLockBelow) {
      hits = engine.search(query, k, allowlist);
    } else {
      Unlocked unlocked;
      hits = engine.search(query, k, allowlist);
    }

    const ModuleState* state = state_of(Py_TYPE(op));
    if (state == nullptr) return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(hits.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < hits.size(); ++i) {
      PyObject* hit = make_hit(*state, hits[i]);
      if (hit == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), hit);
    }
    return list;
  });
}

// fit, build and the two tuning setters change the engine: exclusive access.
PyObject* teskra_fit(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_exclusive(op, [&](Teskra& e) -> PyObject* {
    e.require_changeable("fit");
    static constexpr const char* kNames[] = {"vectors"};
    PyObject* argv[1];
    if (!bind_arguments("fit", kNames, 1, args, nargsf, kwnames, argv)) return nullptr;
    std::vector<std::vector<float>> samples;
    if (!extract_vectors(argv[0], e.config().dim, samples)) return nullptr;
    e.fit(samples);
    Py_RETURN_NONE;
  });
}

PyObject* teskra_build(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_exclusive(op, [&](Teskra& e) -> PyObject* {
    e.require_changeable("build");
    if (!bind_arguments("build", {}, 0, args, nargsf, kwnames, nullptr)) return nullptr;
    Unlocked unlocked;
    e.build(unlocked.execution());
    Py_RETURN_NONE;
  });
}

// set_ef_search(ef) and set_nprobe(nprobe): one unsigned 64-bit argument.
template <class Setter>
PyObject* set_u64(PyObject* op, const char* function, const char* name, PyObject* const* args,
                  Py_ssize_t nargsf, PyObject* kwnames, Setter setter) {
  return with_exclusive(op, [&](Teskra& e) -> PyObject* {
    const char* const names[] = {name};
    PyObject* argv[1];
    if (!bind_arguments(function, names, 1, args, nargsf, kwnames, argv)) return nullptr;
    uint64_t value;
    if (!to_u64(argv[0], name, &value)) return nullptr;
    setter(e, value);
    Py_RETURN_NONE;
  });
}

PyObject* teskra_set_ef_search(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return set_u64(op, "set_ef_search", "ef", args, nargsf, kwnames,
                 [](Teskra& e, uint64_t ef) { e.set_ef_search(ef); });
}

PyObject* teskra_set_nprobe(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return set_u64(op, "set_nprobe", "nprobe", args, nargsf, kwnames,
                 [](Teskra& e, uint64_t nprobe) { e.set_nprobe(nprobe); });
}

// The one argument of save and load, `path`: a str (as UTF-8 text) or an
// os.PathLike, whose __fspath__ may also give bytes (taken as they are).
// Anything else, bytes included, keeps the str TypeError: a path is not
// guessed at. An embedded NUL is passed on for the engine to refuse with its
// own error. `given` is the caller's object, for the filename of an OSError.
bool path_argument(const char* function, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   std::string& out, PyObject*& given) {
  static constexpr const char* kNames[] = {"path"};
  PyObject* argv[1];
  if (!bind_arguments(function, kNames, 1, args, nargsf, kwnames, argv)) return false;
  given = argv[0];
  Ref fspath;
  PyObject* text = argv[0];
  if (!PyUnicode_Check(text) && !PyBytes_Check(text) && PyObject_HasAttrString(text, "__fspath__")) {
    fspath = Ref(PyOS_FSPath(text));
    if (!fspath) return false;
    if (PyBytes_Check(fspath.get())) {
      out.assign(PyBytes_AS_STRING(fspath.get()), static_cast<size_t>(PyBytes_GET_SIZE(fspath.get())));
      return true;
    }
    text = fspath.get();
  }
  Ref str(to_str(text, "path"));
  if (!str) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

PyObject* teskra_save(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* given = nullptr;
  PyObject* result = with_shared(op, [&](Teskra& e) -> PyObject* {
    std::string path;
    if (!path_argument("save", args, nargsf, kwnames, path, given)) return nullptr;
    Unlocked unlocked;
    e.save(path);
    Py_RETURN_NONE;
  });
  if (result == nullptr && given != nullptr) set_error_filename(given);
  return result;
}

// load() and view(): an index opened from the file a path names, by open,
// with the interpreter lock released. Opened before the object exists: a
// failed open allocates nothing of Python's.
template <class Open>
PyObject* open_index(const char* name, PyObject* cls, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, const Open& open) {
  PyObject* given = nullptr;
  PyObject* result = guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string path;
    if (!path_argument(name, args, nargsf, kwnames, path, given)) return nullptr;
    std::optional<Teskra> opened;
    {
      Unlocked unlocked;
      opened.emplace(open(path));
    }
    ModuleState* state = state_of(reinterpret_cast<PyTypeObject*>(cls));
    if (state == nullptr) return nullptr;
    return new_instance(state->teskra_type, std::move(*opened));
  });
  if (result == nullptr && given != nullptr) set_error_filename(given);
  return result;
}

PyObject* teskra_load(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return open_index("load", cls, args, nargsf, kwnames, [](const std::string& p) { return Teskra::load(p); });
}

PyObject* teskra_view(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return open_index("view", cls, args, nargsf, kwnames, [](const std::string& p) { return Teskra::view(p); });
}

PyObject* teskra_to_bytes(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_shared(op, [&](Teskra& e) -> PyObject* {
    if (!no_arguments("to_bytes", args, nargsf, kwnames)) return nullptr;
    // A counting pass sizes the bytes object, the second fills it: one
    // allocation and one copy of the index.
    CountingSink counted;
    e.write_to(counted);
    if (counted.count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(counted.count)));
    if (!bytes) return nullptr;
    BufferSink out(
        {reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())), static_cast<size_t>(counted.count)});
    e.write_to(out);
    return bytes.release();
  });
}

// Any bytes-like object; one that is not contiguous is copied first.
PyObject* teskra_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"data"};
  PyObject* argv[1];
  if (!bind_arguments("from_bytes", kNames, 1, args, nargsf, kwnames, argv)) return nullptr;
  if (!PyObject_CheckBuffer(argv[0])) {
    PyErr_Format(PyExc_TypeError, "argument 'data': a bytes-like object is required, not '%.200s'",
                 Py_TYPE(argv[0])->tp_name);
    return nullptr;
  }
  Ref owner(Py_NewRef(argv[0]));
  Py_buffer view;
  if (PyObject_GetBuffer(owner.get(), &view, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    owner = Ref(PyBytes_FromObject(argv[0]));
    if (!owner || PyObject_GetBuffer(owner.get(), &view, PyBUF_SIMPLE) != 0) return nullptr;
  }
  // The export pins the buffer (a bytearray cannot be resized meanwhile);
  // the decoder copies everything it keeps.
  PyObject* result = guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Teskra loaded =
        Teskra::from_bytes({static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)});
    ModuleState* state = state_of(reinterpret_cast<PyTypeObject*>(cls));
    if (state == nullptr) return nullptr;
    return new_instance(state->teskra_type, std::move(loaded));
  });
  PyBuffer_Release(&view);
  return result;
}

// pickle, copy and multiprocessing: rebuilt by from_bytes from the file's bytes.
PyObject* teskra_reduce(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  if (!no_arguments("__reduce__", args, nargsf, kwnames)) return nullptr;
  Ref bytes(teskra_to_bytes(op, nullptr, 0, nullptr));
  if (!bytes) return nullptr;
  Ref rebuild(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(op)), "from_bytes"));
  if (!rebuild) return nullptr;
  return Py_BuildValue("(O(O))", rebuild.get(), bytes.get());
}

PyObject* teskra_recommended_m(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* kNames[] = {"n"};
    PyObject* argv[1];
    if (!bind_arguments("recommended_m", kNames, 1, args, nargsf, kwnames, argv)) return nullptr;
    uint64_t n;
    if (!to_u64(argv[0], "n", &n)) return nullptr;
    return PyLong_FromLong(n >= 1000000 ? 64 : 32);
  });
}

PyObject* teskra_is_empty(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_shared(op, [&](Teskra& e) -> PyObject* {
    if (!bind_arguments("is_empty", {}, 0, args, nargsf, kwnames, nullptr)) return nullptr;
    return bool_result(e.is_empty());
  });
}

PyObject* teskra_is_mixed(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_shared(op, [&](Teskra& e) -> PyObject* {
    if (!bind_arguments("is_mixed", {}, 0, args, nargsf, kwnames, nullptr)) return nullptr;
    const EngineConfig& c = e.config();
    return bool_result(c.n4_dims > 0 && c.n4_dims < padded_dim_for(c.dim));
  });
}

constexpr int kMethod = METH_FASTCALL | METH_KEYWORDS;

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Registration order is part of the interface (dir() and help() list it).
PyMethodDef teskra_methods[] = {
    {"add", as_cfunction(teskra_add), kMethod,
     "add($self, ids, vectors)\n--\n\n"
     "Add vectors to the index.\n\n"
     "ids: one unsigned 64-bit id per vector (list, tuple or 1-D integer array);\n"
     "    ids need not be unique.\n"
     "vectors: a 2-D float32 array of shape (n, dim), read in place when\n"
     "    C-contiguous, or any sequence of n vectors of dim numbers each.\n\n"
     "Raises ValueError when the number of ids and vectors or the dimension\n"
     "disagree; nothing is added then.\n\n"
     "Vectors are encoded on set_num_threads() threads (Hnsw inserts them on\n"
     "one), without the interpreter lock. Ctrl-C stops a long add with\n"
     "KeyboardInterrupt; the vectors before that point stay added."},
    {"remove", as_cfunction(teskra_remove), kMethod,
     "remove($self, ids)\n--\n\n"
     "Remove vectors from the index.\n\n"
     "ids: unsigned 64-bit ids (list, tuple or 1-D integer array). Every vector\n"
     "    stored under one of them goes: each copy of an id added more than once,\n"
     "    and vectors still waiting for an IvfFlat build. Ids stored nowhere\n"
     "    are ignored.\n\n"
     "Returns the number of vectors removed.\n\n"
     "BruteForce and IvfFlat then answer exactly as if those vectors had never\n"
     "been added (IvfFlat keeps its centroids until the next build()); Hnsw\n"
     "repairs the neighbour lists that named them, choosing again from the\n"
     "removed nodes' own lists.\n\n"
     "Runs without the interpreter lock. MemoryError, or Ctrl-C stopping a long\n"
     "Hnsw removal with KeyboardInterrupt, leaves the index unchanged."},
    {"upsert", as_cfunction(teskra_upsert), kMethod,
     "upsert($self, ids, vectors)\n--\n\n"
     "Replace the vectors stored under the given ids.\n\n"
     "ids, vectors: as for add(). Every vector stored under one of the ids is\n"
     "    removed, as remove() does, and the new vectors are added in their\n"
     "    place; an id stored nowhere is simply added.\n\n"
     "Raises ValueError when the number of ids and vectors or the dimension\n"
     "disagree. All or nothing: after any error (MemoryError and Ctrl-C's\n"
     "KeyboardInterrupt included) the index is as it was.\n\n"
     "Vectors are encoded on set_num_threads() threads, without the interpreter\n"
     "lock. IvfFlat: the new vectors wait for the next build(), as added ones\n"
     "do. Hnsw: an upsert that removes nothing inserts in place, as add() does."},
    {"search", as_cfunction(teskra_search), kMethod,
     "search($self, query, k, allowlist=None)\n--\n\n"
     "Search for the K nearest neighbors.\n\n"
     "query: dim numbers (a float32 array is copied without per-element calls).\n"
     "k: the number of hits wanted; fewer come back when fewer vectors qualify.\n"
     "allowlist: optional ids the hits are restricted to; an empty list admits\n"
     "    nothing.\n\n"
     "Returns a list of {'id': int, 'score': float} dicts, highest score first.\n"
     "Scores are similarities for every metric: higher is closer.\n"
     "Raises RuntimeError when the index is empty."},
    {"search_batch", as_cfunction(teskra_search_batch), kMethod, kSearchBatchDoc},
    {"fit", as_cfunction(teskra_fit), kMethod,
     "fit($self, vectors)\n--\n\n"
     "Compute per-dimension standardization parameters for L2 metric.\n\n"
     "vectors: a sample of raw vectors (a 2-D float32 array or a sequence of\n"
     "    vectors of dim numbers each).\n\n"
     "Centres and scales every later vector and query before rotation, so that\n"
     "raw-magnitude data (pixels, counts) fits the quantization codebooks: one\n"
     "mean and one scale, taken over all values of the sample, serve every\n"
     "dimension. Only the l2 metric uses it; for cosine and dot this does\n"
     "nothing. Call it before the first add(); a later fit replaces the\n"
     "parameters.\n\n"
     "Raises ValueError when the index already holds vectors or the sample is\n"
     "empty."},
    {"build", as_cfunction(teskra_build), kMethod,
     "build($self)\n--\n\n"
     "Build the search index.\n\n"
     "IvfFlat: clusters every added vector into ivf_nlist lists (k-means) and\n"
     "makes them searchable; vectors added after a build wait until the next\n"
     "one, which re-clusters all vectors. Hnsw: returns what only insertions\n"
     "use to the system (with hnsw_selection 'nearest', also the float copies\n"
     "of the vectors); the graph stays searchable and takes more vectors as\n"
     "before. BruteForce: nothing to do.\n\n"
     "Raises RuntimeError 'index is empty' when nothing was added since the\n"
     "last build; the index is then unchanged.\n\n"
     "k-means runs on set_num_threads() threads, without the interpreter\n"
     "lock; the lists are the same for any thread count. Ctrl-C stops it with\n"
     "KeyboardInterrupt and leaves the index unchanged."},
    {"set_ef_search", as_cfunction(teskra_set_ef_search), kMethod,
     "set_ef_search($self, ef)\n--\n\n"
     "Update HNSW ef_search at runtime without rebuilding the index.\n\n"
     "ef: the candidate list size of a graph search (at least k is used).\n"
     "Has no effect on other index types. The hnsw_ef_search the index was\n"
     "created with is not changed."},
    {"set_nprobe", as_cfunction(teskra_set_nprobe), kMethod,
     "set_nprobe($self, nprobe)\n--\n\n"
     "Update IvfFlat nprobe at runtime. Higher = better recall, lower QPS.\n\n"
     "nprobe: lists scanned per query; 0 makes every search return nothing.\n"
     "Applies to the built index only: before build() it is ignored, and each\n"
     "build starts again from ivf_nprobe."},
    {"save", as_cfunction(teskra_save), kMethod,
     "save($self, path)\n--\n\n"
     "Save the index to a .tskr file.\n\n"
     "path: a str or os.PathLike. The file is written beside the target and\n"
     "    renamed over it once complete, so a failed save leaves an existing file\n"
     "    unchanged; a symbolic link keeps pointing at the index.\n\n"
     "Raises RuntimeError for an IvfFlat index before build(), or one holding\n"
     "vectors added since its last build() (run build() first), and OSError\n"
     "('io error: ...'; the matching subclass, with errno and filename) when\n"
     "the file cannot be written."},
    {"to_bytes", as_cfunction(teskra_to_bytes), kMethod,
     "to_bytes($self)\n--\n\n"
     "The index as the bytes of a .tskr file, exactly what save() writes.\n\n"
     "Raises RuntimeError where save() would (an IvfFlat index before build(),\n"
     "or with vectors added since its last build())."},
    {"from_bytes", as_cfunction(teskra_from_bytes), kMethod | METH_CLASS,
     "from_bytes($cls, data)\n--\n\n"
     "Rebuild an index from the bytes of a .tskr file.\n\n"
     "data: any bytes-like object (bytes, bytearray, memoryview, a NumPy\n"
     "    array...); copied, so it may change afterwards. Validated as load()\n"
     "    validates a file, with the same errors."},
    {"__reduce__", as_cfunction(teskra_reduce), kMethod,
     "__reduce__($self)\n--\n\n"
     "Pickle support: the index travels as its file bytes (see to_bytes)."},
    {"recommended_m", as_cfunction(teskra_recommended_m), kMethod | METH_STATIC,
     "recommended_m(n)\n--\n\n"
     "Recommended HNSW M value for a given corpus size.\n\n"
     "Returns 32 below one million vectors and 64 from one million on: at that\n"
     "scale a degree of 32 lets the greedy graph search stop in poor local\n"
     "optima, and 64 neighbours per node restore recall."},
    {"load", as_cfunction(teskra_load), kMethod | METH_CLASS,
     "load($cls, path)\n--\n\n"
     "Load an index from a .tskr file.\n\n"
     "path: a str or os.PathLike. Returns a new Teskra holding everything it\n"
     "    needs: the file may be changed or removed afterwards. Reads files of\n"
     "    format versions 1 to 6.\n\n"
     "Raises OSError for a missing, short or damaged file (the matching\n"
     "subclass, with errno and filename, when the system refused it) and\n"
     "ValueError for a header naming an unknown metric, index type or layout."},
    {"view", as_cfunction(teskra_view), kMethod | METH_CLASS,
     "view($cls, path)\n--\n\n"
     "Serve a .tskr file in place, read-only, from a memory mapping.\n\n"
     "path: a str or os.PathLike. Returns a Teskra that reads the codes, ids,\n"
     "    norms, IvfFlat lists and graph links where they lie in the file instead\n"
     "    of copying them: opening takes little time and memory (8 bytes per\n"
     "    IvfFlat list or graph node, and the centroid table IvfFlat ranks its\n"
     "    lists with), and the pages are read, and cached by the system, as\n"
     "    searches need them.\n"
     "    Checked as load() checks a file, with the same errors, for every\n"
     "    format version.\n\n"
     "search, search_batch, the properties, len(), save (a copy of the file's\n"
     "index, the bytes load() then save() would write), to_bytes and pickling\n"
     "(as a loaded index) work and answer exactly as the loaded index would;\n"
     "so do set_ef_search and set_nprobe, which are not saved. add, remove,\n"
     "upsert, fit and build raise RuntimeError: load() the file to change the\n"
     "index.\n"
     "packed_data, vector_ids and vector_norms of a BruteForce view are\n"
     "read-only arrays over the file's pages (a read-only copy where the file\n"
     "holds the values at an odd offset) that keep the mapping alive.\n\n"
     "The file must not be shortened in place while the view or an array taken\n"
     "from it is alive: reading a page past its new end kills the process\n"
     "(SIGBUS). Replacing the file by rename is safe, and save() always does\n"
     "so: a view keeps answering from the file it opened, also when an index\n"
     "is saved over its path."},
    {"is_empty", as_cfunction(teskra_is_empty), kMethod,
     "is_empty($self)\n--\n\n"
     "True if the index contains no vectors."},
    {"is_mixed", as_cfunction(teskra_is_mixed), kMethod,
     "is_mixed($self)\n--\n\n"
     "True when index uses mixed 4-bit/2-bit quantization.\n\n"
     "That is, when n4_dims is above 0 and below padded_dim."},
    {"transform_query_np", as_cfunction(teskra_transform_query_np), kMethod, kTransformQueryNpDoc},
    {"packed_data", as_cfunction(teskra_packed_data), kMethod, kPackedDataDoc},
    {"vector_norms", as_cfunction(teskra_vector_norms), kMethod, kVectorNormsDoc},
    {"vector_ids", as_cfunction(teskra_vector_ids), kMethod, kVectorIdsDoc},
    {"centroids_4bit", as_cfunction(teskra_centroids_4bit), kMethod | METH_STATIC, kCentroids4bitDoc},
    {"centroids_2bit", as_cfunction(teskra_centroids_2bit), kMethod | METH_STATIC, kCentroids2bitDoc},
    {"profile_variance", as_cfunction(teskra_profile_variance), kMethod, kProfileVarianceDoc},
    {"optimal_n4_dims", as_cfunction(teskra_optimal_n4_dims), kMethod, kOptimalN4DimsDoc},
    {nullptr, nullptr, 0, nullptr},
};

const char kClassDoc[] =
    "Teskra(dim, metric=\"cosine\", bit_width=4, index_type=\"brute_force\", mixed_ratio=None, "
    "n4_dims=None, ivf_nlist=256, ivf_nprobe=8, hnsw_m=32, hnsw_ef_construction=200, hnsw_ef_search=0, "
    "hnsw_selection=\"diverse\")\n"
    "--\n\n"
    "Teskra \u2014 ultra-low resource embedded vector search engine.\n\n"
    "Vectors are stored only as packed 4-bit or 2-bit codes of their rotated form;\n"
    "queries are scored directly against the codes.\n\n"
    "Parameters\n"
    "----------\n"
    "dim : int\n"
    "    Vector dimension.\n"
    "metric : str, default \"cosine\"\n"
    "    Similarity metric: cosine, dot or l2 (also dot_product, euclidean;\n"
    "    case-insensitive).\n"
    "bit_width : int, default 4\n"
    "    Quantization bits, 4 or 2.\n"
    "index_type : str, default \"brute_force\"\n"
    "    Index algorithm: brute_force (brute, bruteforce), ivf_flat (ivf, ivfflat)\n"
    "    or hnsw; case-insensitive, '-' may stand for '_'.\n"
    "mixed_ratio : float or None, default None\n"
    "    Fraction of padded dimensions coded at 4 bits, the rest at 2 bits;\n"
    "    None = pure mode.\n"
    "n4_dims : int or None, default None\n"
    "    Exact number of 4-bit dimensions in the padded space; wins over\n"
    "    mixed_ratio.\n"
    "ivf_nlist : int, default 256\n"
    "    IvfFlat: number of clusters; ignored for other types.\n"
    "ivf_nprobe : int, default 8\n"
    "    IvfFlat: lists probed per query.\n"
    "hnsw_m : int, default 32\n"
    "    Hnsw: maximum neighbours per node.\n"
    "hnsw_ef_construction : int, default 200\n"
    "    Hnsw: candidate list size during construction.\n"
    "hnsw_ef_search : int, default 0\n"
    "    Hnsw: candidate list size during search; 0 = twice hnsw_m.\n"
    "hnsw_selection : str, default \"diverse\"\n"
    "    Hnsw: how a node chooses its neighbours. diverse keeps a candidate only\n"
    "    if it is more similar to the node than to every neighbour kept before\n"
    "    it, which keeps separated clusters linked; nearest keeps the best-scored\n"
    "    candidates and holds float copies of the vectors until build().\n"
    "    Saved with the index; files written before it existed load as diverse.\n";

PyType_Slot teskra_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(teskra_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(teskra_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(teskra_repr)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, teskra_methods},
    {Py_tp_getset, teskra_getset},
    {Py_sq_length, reinterpret_cast<void*>(teskra_len)},
    {0, nullptr},
};

// No Py_TPFLAGS_HAVE_GC: an instance holds no Python references, so it can
// never be part of a reference cycle. No Py_TPFLAGS_BASETYPE: the access
// discipline assumes every method of the object is one of ours.
PyType_Spec teskra_spec = {
    "teskra.Teskra", static_cast<int>(sizeof(PyTeskra)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    teskra_slots,
};

int exec_module(PyObject* module) {
  // NumPy's function table is one per process (numpy_api.h); importing it
  // again for a second module object finds it filled.
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
  // Whatever is set before a failure is released with the module.
  state->key_id = PyUnicode_InternFromString("id");
  if (state->key_id == nullptr) return -1;
  state->key_score = PyUnicode_InternFromString("score");
  if (state->key_score == nullptr) return -1;
  PyObject* type = PyType_FromModuleAndSpec(module, &teskra_spec, nullptr);
  if (type == nullptr) return -1;
  state->teskra_type = reinterpret_cast<PyTypeObject*>(type);
  if (PyModule_AddType(module, state->teskra_type) < 0) return -1;
  if (PyModule_AddFunctions(module, kThreadFunctions) < 0) return -1;
  note_main_thread();
  return PyModule_AddStringConstant(module, "__version__", TESKRA_VERSION);
}

// The state holds the class and the class holds its module: a cycle, which
// the collector finds through here.
int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_VISIT(state->teskra_type);
  Py_VISIT(state->key_id);
  Py_VISIT(state->key_score);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_CLEAR(state->teskra_type);
  Py_CLEAR(state->key_id);
  Py_CLEAR(state->key_score);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

// The module needs the interpreter lock around everything but its engine
// work (released.h, borrow.h). NumPy's table is one
// per process, and NumPy itself runs in one interpreter only: so does this
// module.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef teskra_module = {
    PyModuleDef_HEAD_INIT,
    "teskra",
    nullptr,  // no module docstring
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace teskra::py

PyMODINIT_FUNC PyInit_teskra(void) { return PyModuleDef_Init(&teskra::py::teskra_module); }
