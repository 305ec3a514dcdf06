#include "python/convert.h"

#include <cstring>
#include <type_traits>

#include "python/args.h"
#include "python/numpy_api.h"
#include "python/ref.h"

namespace teskra::py {

namespace {

// The fast path applies only to float32 in native byte order: a swapped
// float32 is not equivalent to the engine's floats and is read generically.
PyArrayObject* as_float32_array(PyObject* obj, int ndim) {
  if (!PyArray_Check(obj)) return nullptr;
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != ndim || PyArray_TYPE(arr) != NPY_FLOAT32 || !PyArray_ISNOTSWAPPED(arr)) {
    return nullptr;
  }
  return arr;
}

bool is_contiguous(PyArrayObject* arr) {
  return PyArray_IS_C_CONTIGUOUS(arr) || PyArray_IS_F_CONTIGUOUS(arr);
}

void raise_not_contiguous() { PyErr_SetString(PyExc_TypeError, "The given array is not contiguous"); }

// Copies n floats spaced stride bytes apart; one block copy when they touch.
void append_strided(const char* src, npy_intp n, npy_intp stride, std::vector<float>& out) {
  const size_t base = out.size();
  out.resize(base + static_cast<size_t>(n));
  float* dst = out.data() + base;
  if (stride == static_cast<npy_intp>(sizeof(float)) || n <= 1) {
    if (n > 0) std::memcpy(dst, src, static_cast<size_t>(n) * sizeof(float));
    return;
  }
  for (npy_intp i = 0; i < n; ++i) std::memcpy(dst + i, src + i * stride, sizeof(float));
}

// Converts one element with the interpreter's float conversion.
bool element_to_float(PyObject* item, float* out) {
  if (PyFloat_Check(item)) {
    *out = static_cast<float>(PyFloat_AS_DOUBLE(item));
    return true;
  }
  // May run a user __float__ / __index__, which may drop the container's
  // reference to item: hold our own for the duration.
  Ref keep(Py_NewRef(item));
  const double v = PyFloat_AsDouble(item);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = static_cast<float>(v);
  return true;
}

// The generic vector conversion: appends the elements of a non-str sequence.
// row >= 0 names the row of a batch in our own messages.
bool append_sequence(PyObject* seq, Py_ssize_t row, std::vector<float>& out) {
  if (PyUnicode_Check(seq) || !PySequence_Check(seq)) {
    if (row >= 0) {
      PyErr_Format(PyExc_TypeError, "vector %zd: expected a sequence of numbers, got '%s'", row,
                   Py_TYPE(seq)->tp_name);
    } else {
      PyErr_Format(PyExc_TypeError, "expected a sequence of numbers, got '%s'", Py_TYPE(seq)->tp_name);
    }
    return false;
  }
  float v;
  if (PyList_CheckExact(seq)) {
    // Read the size on every step: an element's __float__ may shrink the list.
    out.reserve(out.size() + static_cast<size_t>(PyList_GET_SIZE(seq)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      if (!element_to_float(PyList_GET_ITEM(seq, i), &v)) return false;
      out.push_back(v);
    }
    return true;
  }
  if (PyTuple_CheckExact(seq)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(seq);
    out.reserve(out.size() + static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!element_to_float(PyTuple_GET_ITEM(seq, i), &v)) return false;
      out.push_back(v);
    }
    return true;
  }
  // Any other sequence: by iteration. Its reported length is not trusted for
  // reservation (a __len__ may claim anything).
  Ref it(PyObject_GetIter(seq));
  if (!it) return false;
  while (Ref item{PyIter_Next(it.get())}) {
    if (!element_to_float(item.get(), &v)) return false;
    out.push_back(v);
  }
  return !PyErr_Occurred();
}

// One row of a generic batch. A 1-D float32 row is copied directly (strided
// or not): iterating it element by element would give the same floats.
bool convert_row(PyObject* row, Py_ssize_t index, std::vector<float>& out) {
  if (PyArrayObject* arr = as_float32_array(row, 1)) {
    append_strided(static_cast<const char*>(PyArray_DATA(arr)), PyArray_DIM(arr, 0), PyArray_STRIDE(arr, 0),
                   out);
    return true;
  }
  return append_sequence(row, index, out);
}

// One id: an int, or anything with __index__ (NumPy integer scalars).
bool id_to_u64(PyObject* item, const char* name, uint64_t* out) {
  if (PyLong_CheckExact(item)) {  // the common case: no Python code runs
    const unsigned long long v = PyLong_AsUnsignedLongLong(item);
    if (v != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
      *out = v;
      return true;
    }
    PyErr_Clear();
  }
  // Everything else, including the range errors of the fast path, goes
  // through the full integer conversion, which names the argument.
  Ref keep(Py_NewRef(item));  // a user __index__ may drop the container's reference
  uint64_t v;
  if (!to_u64(item, name, &v)) return false;
  *out = v;
  return true;
}

template <class T>
bool copy_int_array(PyArrayObject* arr, const char* name, std::vector<uint64_t>& out) {
  const npy_intp n = PyArray_DIM(arr, 0);
  const npy_intp stride = PyArray_STRIDE(arr, 0);
  const char* p = static_cast<const char*>(PyArray_DATA(arr));
  out.resize(static_cast<size_t>(n));
  for (npy_intp i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, p + i * stride, sizeof(T));
    if constexpr (std::is_signed_v<T>) {
      if (v < 0) {
        out.clear();
        PyErr_Format(PyExc_OverflowError, "argument '%s': can't convert negative int to unsigned", name);
        return false;
      }
    }
    out[static_cast<size_t>(i)] = static_cast<uint64_t>(v);
  }
  return true;
}

// A 1-D integer array in native byte order, read without Python calls.
// Returns nullopt when the array is of another kind.
std::optional<bool> extract_int_array(PyObject* obj, const char* name, std::vector<uint64_t>& out) {
  if (!PyArray_Check(obj)) return std::nullopt;
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != 1 || !PyArray_ISINTEGER(arr) || !PyArray_ISNOTSWAPPED(arr)) {
    return std::nullopt;
  }
  const bool is_signed = PyArray_ISSIGNED(arr);
  switch (PyArray_ITEMSIZE(arr)) {
    case 1:
      return is_signed ? copy_int_array<int8_t>(arr, name, out) : copy_int_array<uint8_t>(arr, name, out);
    case 2:
      return is_signed ? copy_int_array<int16_t>(arr, name, out) : copy_int_array<uint16_t>(arr, name, out);
    case 4:
      return is_signed ? copy_int_array<int32_t>(arr, name, out) : copy_int_array<uint32_t>(arr, name, out);
    case 8:
      return is_signed ? copy_int_array<int64_t>(arr, name, out) : copy_int_array<uint64_t>(arr, name, out);
    default:
      return std::nullopt;
  }
}

}  // namespace

bool extract_vector(PyObject* obj, uint64_t dim, std::vector<float>& out) {
  out.clear();
  if (PyArrayObject* arr = as_float32_array(obj, 1)) {
    if (!is_contiguous(arr)) {
      raise_not_contiguous();
      return false;
    }
    const auto len = static_cast<uint64_t>(PyArray_DIM(arr, 0));
    if (len != dim) {
      PyErr_Format(PyExc_ValueError, "query dimension mismatch: expected %llu, got %llu",
                   static_cast<unsigned long long>(dim), static_cast<unsigned long long>(len));
      return false;
    }
    out.resize(len);
    if (len > 0) std::memcpy(out.data(), PyArray_DATA(arr), len * sizeof(float));
    return true;
  }
  if (!append_sequence(obj, -1, out)) return false;
  if (out.size() != dim) {
    PyErr_Format(PyExc_ValueError, "query dimension mismatch: expected %llu, got %zu",
                 static_cast<unsigned long long>(dim), out.size());
    return false;
  }
  return true;
}

bool extract_vectors(PyObject* obj, uint64_t dim, std::vector<std::vector<float>>& out) {
  out.clear();
  if (PyArrayObject* arr = as_float32_array(obj, 2)) {
    const npy_intp rows = PyArray_DIM(arr, 0);
    const npy_intp cols = PyArray_DIM(arr, 1);
    if (static_cast<uint64_t>(cols) != dim) {
      PyErr_Format(PyExc_ValueError, "vector dimension mismatch: expected %llu, got %zd",
                   static_cast<unsigned long long>(dim), cols);
      return false;
    }
    if (!is_contiguous(arr)) {
      raise_not_contiguous();
      return false;
    }
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp row_stride = PyArray_STRIDE(arr, 0);
    const npy_intp col_stride = PyArray_STRIDE(arr, 1);
    out.resize(static_cast<size_t>(rows));
    for (npy_intp i = 0; i < rows; ++i) {
      out[static_cast<size_t>(i)].reserve(static_cast<size_t>(cols));
      append_strided(base + i * row_stride, cols, col_stride, out[static_cast<size_t>(i)]);
    }
    return true;
  }

  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected a sequence of vectors, got '%s'", Py_TYPE(obj)->tp_name);
    return false;
  }
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    // Fixed-size containers: index them, re-reading the size of a list on
    // every step because converting a row may run code that changes it.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
      Ref row(Py_NewRef(PySequence_Fast_GET_ITEM(obj, i)));
      out.emplace_back();
      if (!convert_row(row.get(), i, out.back())) return false;
    }
  } else {
    Ref it(PyObject_GetIter(obj));
    if (!it) return false;
    Py_ssize_t i = 0;
    while (Ref row{PyIter_Next(it.get())}) {
      out.emplace_back();
      if (!convert_row(row.get(), i++, out.back())) return false;
    }
    if (PyErr_Occurred()) return false;
  }
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i].size() != dim) {
      PyErr_Format(PyExc_ValueError, "vector %zu dimension mismatch: expected %llu, got %zu", i,
                   static_cast<unsigned long long>(dim), out[i].size());
      return false;
    }
  }
  return true;
}

std::optional<uint64_t> matrix_rows(PyObject* obj, uint64_t dim) {
  PyArrayObject* arr = as_float32_array(obj, 2);
  if (arr == nullptr || static_cast<uint64_t>(PyArray_DIM(arr, 1)) != dim || !is_contiguous(arr)) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(PyArray_DIM(arr, 0));
}

std::optional<FlatView> flat_view(PyObject* obj) {
  PyArrayObject* arr = as_float32_array(obj, 2);
  if (arr == nullptr || !PyArray_IS_C_CONTIGUOUS(arr) || PyArray_DATA(arr) == nullptr ||
      PyArray_DIM(arr, 1) == 0) {
    return std::nullopt;
  }
  return FlatView{static_cast<const float*>(PyArray_DATA(arr)), static_cast<uint64_t>(PyArray_DIM(arr, 0)),
                  static_cast<uint64_t>(PyArray_DIM(arr, 1))};
}

namespace {

void raise_query_width(uint64_t dim, uint64_t got) {
  PyErr_Format(PyExc_ValueError, "query dimension mismatch: expected %llu, got %llu",
               static_cast<unsigned long long>(dim), static_cast<unsigned long long>(got));
}

// A 2-D array whose elements are numbers NumPy can cast exactly as search()
// would convert them; nullopt for other arrays (object, complex, text...).
std::optional<bool> queries_from_array(PyArrayObject* arr, uint64_t dim, QueryMatrix& out) {
  const char kind = PyArray_DESCR(arr)->kind;
  if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') return std::nullopt;
  if (PyArray_NDIM(arr) != 2) {
    PyErr_Format(PyExc_ValueError, "argument 'queries': expected a 2-D array, got %d dimension(s)",
                 PyArray_NDIM(arr));
    return false;
  }
  if (static_cast<uint64_t>(PyArray_DIM(arr, 1)) != dim) {
    raise_query_width(dim, static_cast<uint64_t>(PyArray_DIM(arr, 1)));
    return false;
  }
  PyObject* source = reinterpret_cast<PyObject*>(arr);
  Ref wide;
  const int type = PyArray_TYPE(arr);
  if (type != NPY_FLOAT32 && type != NPY_FLOAT16 && type != NPY_FLOAT64) {
    // search() takes such an element as a Python float, a double, and then
    // narrows it: one cast straight to float32 could round differently.
    wide = Ref(PyArray_FROM_OTF(source, NPY_FLOAT64, NPY_ARRAY_FORCECAST));
    if (!wide) return false;
    source = wide.get();
  }
  // The same array when it is float32, native, C-ordered and aligned.
  out.owner = Ref(PyArray_FROM_OTF(source, NPY_FLOAT32, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
  if (!out.owner) return false;
  auto* f32 = reinterpret_cast<PyArrayObject*>(out.owner.get());
  out.data = static_cast<const float*>(PyArray_DATA(f32));
  out.count = static_cast<uint64_t>(PyArray_DIM(f32, 0));
  return true;
}

}  // namespace

bool extract_queries(PyObject* obj, uint64_t dim, QueryMatrix& out) {
  out = QueryMatrix();
  if (PyArray_Check(obj)) {
    if (std::optional<bool> done = queries_from_array(reinterpret_cast<PyArrayObject*>(obj), dim, out)) {
      return *done;
    }
  }
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError,
                 "argument 'queries': expected a 2-D array or a sequence of queries, got '%s'",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  std::vector<float> row;
  auto take = [&](PyObject* item) {
    if (!extract_vector(item, dim, row)) return false;
    out.rows.insert(out.rows.end(), row.begin(), row.end());
    ++out.count;
    return true;
  };
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    // The size is read on every step: converting a row may run code that
    // changes the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
      Ref item(Py_NewRef(PySequence_Fast_GET_ITEM(obj, i)));
      if (!take(item.get())) return false;
    }
  } else {
    Ref it(PyObject_GetIter(obj));
    if (!it) return false;
    while (Ref item{PyIter_Next(it.get())}) {
      if (!take(item.get())) return false;
    }
    if (PyErr_Occurred()) return false;
  }
  out.data = out.rows.data();
  return true;
}

bool extract_ids(PyObject* obj, const char* name, std::vector<uint64_t>& out) {
  out.clear();
  if (std::optional<bool> done = extract_int_array(obj, name, out)) return *done;

  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of ids, got '%s'", name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  uint64_t id;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    out.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(obj)));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
      if (!id_to_u64(PySequence_Fast_GET_ITEM(obj, i), name, &id)) return false;
      out.push_back(id);
    }
    return true;
  }
  Ref it(PyObject_GetIter(obj));
  if (!it) return false;
  while (Ref item{PyIter_Next(it.get())}) {
    if (!id_to_u64(item.get(), name, &id)) return false;
    out.push_back(id);
  }
  return !PyErr_Occurred();
}

bool extract_allowlist(PyObject* obj, std::vector<uint64_t>& storage,
                       std::optional<std::span<const uint64_t>>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!extract_ids(obj, "allowlist", storage)) return false;
  out = std::span<const uint64_t>(storage);
  return true;
}

}  // namespace teskra::py
