#pragma once
// Owning references to Python objects, the C++ signal that a Python exception
// is already set, the released interpreter lock, and attributes of other
// modules imported on first use. Only src/python/ includes Python.h.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorvel::python {

/// @brief Thrown when a Python exception is set and the call must unwind to its boundary.
struct PythonError {};

/// @brief Throws PythonError if ptr is null (the failed C API call has set the exception).
template <class T>
T* check(T* ptr) {
  if (ptr == nullptr) {
    throw PythonError{};
  }
  return ptr;
}

/// @brief Sets a Python exception of the given type with message and throws PythonError.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

/// @brief One owned strong reference; released on every path.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : ptr_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(ptr_);
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  /// @brief Takes ownership of a new reference, throwing PythonError if it is null.
  static Ref checked(PyObject* owned) { return Ref(check(owned)); }

  [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

/// @brief callable(argument), a new reference (nullptr with the error set on failure).
inline PyObject* call_one(PyObject* callable, PyObject* argument) {
  PyObject* const arguments[] = {argument};
  return PyObject_Vectorcall(callable, arguments, 1, nullptr);
}

/// @brief Puts a new reference into a list's slot (the list takes it over); throws if the
/// item is null.
inline void set_list_item(PyObject* list, Py_ssize_t index, PyObject* item) {
  if (item == nullptr || PyList_SetItem(list, index, item) < 0) {
    throw PythonError{};
  }
}

/// @brief The end of a heap type's instance: its memory given back with the type's own
/// tp_free, and the reference the instance held to its type dropped.
inline void free_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

/// @brief Releases the interpreter lock for the lifetime of the guard.
class ReleasedLock {
 public:
  ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

/// @brief An attribute of another module (numpy.asarray, scipy.sparse.csr_array),
/// imported on first use rather than with quorvel, then kept for the process.
class LazyAttribute {
 public:
  constexpr LazyAttribute(const char* module, const char* attribute) noexcept
      : module_(module), attribute_(attribute) {}
  /// @brief The attribute (a borrowed reference), importing its module now if needed.
  PyObject* get() {
    if (cached_ == nullptr) {
      Ref module = Ref::checked(PyImport_ImportModule(module_));
      cached_ = check(PyObject_GetAttrString(module.get(), attribute_));
    }
    return cached_;
  }
  /// @brief The attribute if its module has been imported (a borrowed reference), else
  /// nullptr: asks without importing anything and without raising.
  PyObject* get_if_imported() noexcept {
    if (cached_ == nullptr) {
      Ref name(PyUnicode_FromString(module_));
      Ref module(name ? PyImport_GetModule(name.get()) : nullptr);
      cached_ = module ? PyObject_GetAttrString(module.get(), attribute_) : nullptr;
      if (cached_ == nullptr) {
        PyErr_Clear();
      }
    }
    return cached_;
  }

 private:
  const char* module_;
  const char* attribute_;
  PyObject* cached_ = nullptr;
};

}  // namespace quorvel::python
