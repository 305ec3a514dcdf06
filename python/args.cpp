#include "python/args.h"

namespace teskra::py {

namespace {

bool has_index(PyObject* obj) {
  PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
  return nb != nullptr && nb->nb_index != nullptr;
}

bool has_float(PyObject* obj) {
  PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
  return nb != nullptr && (nb->nb_float != nullptr || nb->nb_index != nullptr);
}

}  // namespace

bool bind_arguments(const char* function, std::span<const char* const> names, size_t n_required,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
  const size_t n_params = names.size();
  const size_t nargs = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
  if (nargs > n_params) {
    if (n_params == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zu given)", function, nargs);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zu given)", function, n_params,
                   n_params == 1 ? "" : "s", nargs);
    }
    return false;
  }
  for (size_t i = 0; i < n_params; ++i) out[i] = i < nargs ? args[i] : nullptr;

  const Py_ssize_t n_kw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < n_kw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    size_t slot = n_params;
    for (size_t i = 0; i < n_params; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot == n_params) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[slot]);
      return false;
    }
    out[slot] = args[nargs + static_cast<size_t>(j)];
  }

  for (size_t i = 0; i < n_required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, names[i],
                   i + 1);
      return false;
    }
  }
  return true;
}

bool to_u64(PyObject* obj, const char* name, uint64_t* out) {
  PyObject* as_int;
  if (PyLong_Check(obj)) {
    as_int = Py_NewRef(obj);
  } else if (has_index(obj)) {
    as_int = PyNumber_Index(obj);  // user code; its errors pass unchanged
    if (as_int == nullptr) return false;
  } else {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be interpreted as an integer", name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(as_int);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // Both ends of the range arrive as OverflowError; say which one.
    PyErr_Clear();
    int overflow = 0;
    const long long as_signed = PyLong_AsLongLongAndOverflow(as_int, &overflow);
    PyErr_Clear();
    if (overflow < 0 || (overflow == 0 && as_signed < 0)) {
      PyErr_Format(PyExc_OverflowError, "argument '%s': can't convert negative int to unsigned", name);
    } else {
      PyErr_Format(PyExc_OverflowError, "argument '%s': int too big to convert to a 64-bit unsigned integer",
                   name);
    }
    Py_DECREF(as_int);
    return false;
  }
  Py_DECREF(as_int);
  *out = v;
  return true;
}

bool to_u8(PyObject* obj, const char* name, uint8_t* out) {
  uint64_t wide;
  if (!to_u64(obj, name, &wide)) return false;
  if (wide > 255) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': %llu is too big for an unsigned 8-bit integer", name,
                 static_cast<unsigned long long>(wide));
    return false;
  }
  *out = static_cast<uint8_t>(wide);
  return true;
}

bool to_optional_u64(PyObject* obj, const char* name, std::optional<uint64_t>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  uint64_t v;
  if (!to_u64(obj, name, &v)) return false;
  *out = v;
  return true;
}

bool to_optional_f32(PyObject* obj, const char* name, std::optional<float>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  float v;
  if (!to_f32(obj, name, &v)) return false;
  *out = v;
  return true;
}

bool to_f32(PyObject* obj, const char* name, float* out) {
  double v;
  if (PyFloat_Check(obj)) {
    v = PyFloat_AS_DOUBLE(obj);
  } else if (has_float(obj)) {
    v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
  } else {
    PyErr_Format(PyExc_TypeError, "argument '%s': must be real number, not %s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  *out = static_cast<float>(v);  // round to nearest; beyond the range gives +-inf
  return true;
}

PyObject* to_str(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'str'", name,
                 Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return Py_NewRef(obj);
}

}  // namespace teskra::py
