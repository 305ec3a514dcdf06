#include "python/errors.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string_view>

#include "core/config.h"
#include "core/error.h"
#include "core/exec/execution.h"

namespace teskra::py {

namespace {

PyObject* exception_class(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::EmptyIndex:
    case ErrorKind::NotBuilt:
      return PyExc_RuntimeError;
    case ErrorKind::Io:
    case ErrorKind::InvalidFile:
    case ErrorKind::UnsupportedVersion:
      return PyExc_OSError;
    case ErrorKind::DimensionMismatch:
    case ErrorKind::InvalidBitWidth:
    case ErrorKind::InvalidMetric:
    case ErrorKind::CountMismatch:
    case ErrorKind::UnsupportedIndexType:
    case ErrorKind::NotImplemented:
    case ErrorKind::EmptySample:
    case ErrorKind::FitAfterAdd:
      return PyExc_ValueError;
  }
  return PyExc_RuntimeError;
}

// Operating-system texts inside Io errors come from the C library and need not
// be valid UTF-8 in every locale; a bad byte must not turn into a second error.
void raise_text(PyObject* cls, std::string_view text) {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return;  // MemoryError already set
  // A str value (never a tuple) so OSError gets exactly one argument and
  // leaves errno and filename unset.
  PyErr_SetObject(cls, message);
  Py_DECREF(message);
}

// An Io error with the system's error number becomes OSError(errno, text):
// OSError's constructor picks the matching subclass (FileNotFoundError,
// PermissionError, ...) and sets errno and strerror.
void raise_os_error(int errnum, std::string_view text) {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return;  // MemoryError already set
  PyObject* args = Py_BuildValue("(iN)", errnum, message);
  if (args == nullptr) return;
  PyErr_SetObject(PyExc_OSError, args);
  Py_DECREF(args);
}

}  // namespace

void set_error_filename(PyObject* filename) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  if (PyErr_GivenExceptionMatches(exc, PyExc_OSError)) {
    // Only a system error has the [Errno N] form a filename belongs to.
    PyObject* errnum = PyObject_GetAttrString(exc, "errno");
    if (errnum == nullptr || (errnum != Py_None && PyObject_SetAttrString(exc, "filename", filename) != 0)) {
      PyErr_Clear();
    }
    Py_XDECREF(errnum);
  }
  PyErr_SetRaisedException(exc);
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const TeskraError& e) {
    if (e.kind() == ErrorKind::Io && e.os_errno() != 0) {
      raise_os_error(e.os_errno(), e.message());
    } else {
      raise_text(exception_class(e.kind()), e.message());
    }
  } catch (const Interrupted&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const ConfigError& e) {
    raise_text(PyExc_ValueError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // std::vector's answer to a size beyond max_size(): the same condition as
    // a failed allocation, only detected before asking the allocator.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_text(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
  }
}

}  // namespace teskra::py
