#include "double_arrays.hpp"

#include <bit>

#include "float64_buffer.hpp"

namespace quorvel::python {

namespace {

LazyAttribute numpy_asarray("numpy", "asarray");
LazyAttribute numpy_empty("numpy", "empty");
LazyAttribute numpy_float64("numpy", "float64");
LazyAttribute numpy_ndarray("numpy", "ndarray");
LazyAttribute numpy_int64("numpy", "int64");

// The text of an attribute chain, for messages: str(obj.dtype), str(obj.shape).
Ref attribute_text(PyObject* obj, const char* attribute) {
  Ref value = Ref::checked(PyObject_GetAttrString(obj, attribute));
  return Ref::checked(PyObject_Str(value.get()));
}

// The kinds NumPy gives real numbers: bool, signed and unsigned integers, floats.
bool is_real_kind(PyObject* array) {
  Ref dtype = Ref::checked(PyObject_GetAttrString(array, "dtype"));
  Ref kind = Ref::checked(PyObject_GetAttrString(dtype.get(), "kind"));
  return PyUnicode_EqualToUTF8(kind.get(), "b") || PyUnicode_EqualToUTF8(kind.get(), "i") ||
         PyUnicode_EqualToUTF8(kind.get(), "u") || PyUnicode_EqualToUTF8(kind.get(), "f");
}

}  // namespace

// ---------------------------------------------------------------- HeldView

void HeldView::reset() noexcept {
  if (held_) {
    PyBuffer_Release(&view_);
    held_ = false;
  }
}

bool HeldView::acquire(PyObject* exporter, bool writable) {
  reset();
  const int flags = writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
  if (PyObject_GetBuffer(exporter, &view_, flags) < 0) {
    PyErr_Clear();
    return false;
  }
  held_ = true;
  return true;
}

bool HeldView::holds_native_doubles() const noexcept {
  return held_ && view_.itemsize == sizeof(double) && is_native_float64_format(view_.format);
}

std::vector<std::int64_t> HeldView::shape() const {
  if (view_.ndim == 0) {
    return {};  // a 0-d view may carry no shape array at all
  }
  if (view_.shape == nullptr) {
    return {view_.len / view_.itemsize};  // the buffer protocol's one-dimensional default
  }
  return {view_.shape, view_.shape + view_.ndim};
}

std::vector<std::int64_t> HeldView::strides() const {
  if (view_.strides != nullptr) {
    return {view_.strides, view_.strides + view_.ndim};
  }
  // No strides (ctypes arrays give none): the items lie in C order without gaps.
  const std::vector<std::int64_t> extents = shape();
  std::vector<std::int64_t> strides(extents.size());
  std::int64_t step = view_.itemsize;
  for (std::size_t axis = extents.size(); axis-- > 0;) {
    strides[axis] = step;
    step *= extents[axis];
  }
  return strides;
}

// ---------------------------------------------------------------- InputDoubles

InputDoubles::InputDoubles(PyObject* obj, std::string_view name) {
  if (!held_.acquire(obj, false) || !held_.holds_native_doubles()) {
    held_.reset();
    Ref array(PyObject_CallOneArg(numpy_asarray.get(), obj));
    if (!array) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
        throw PythonError{};
      }
      // NumPy's own reason (a ragged list, say), under the argument's name.
      PyObject* cause = PyErr_GetRaisedException();
      PyErr_Format(PyExc_ValueError, "%.*s could not be read as an array: %S",
                   static_cast<int>(name.size()), name.data(), cause);
      PyObject* error = PyErr_GetRaisedException();
      PyException_SetCause(error, cause);
      PyErr_SetRaisedException(error);
      throw PythonError{};
    }
    if (!is_real_kind(array.get())) {
      Ref dtype = attribute_text(array.get(), "dtype");
      PyErr_Format(PyExc_TypeError, "%.*s must be real, got %U", static_cast<int>(name.size()),
                   name.data(), dtype.get());
      throw PythonError{};
    }
    converted_ = Ref::checked(PyObject_CallFunctionObjArgs(numpy_asarray.get(), array.get(),
                                                           numpy_float64.get(), nullptr));
    if (!held_.acquire(converted_.get(), false) || !held_.holds_native_doubles()) {
      fail("numpy.asarray gave no float64 buffer");
    }
  }
  shape_ = held_.shape();
  strides_ = held_.strides();
}

std::uint64_t InputDoubles::size() const noexcept {
  std::uint64_t n = 1;
  for (const std::int64_t extent : shape_) {
    n *= static_cast<std::uint64_t>(extent);
  }
  return n;
}

bool InputDoubles::fortran_ordered() const noexcept {
  auto& view = const_cast<Py_buffer&>(held_.view());
  return shape_.size() > 1 && PyBuffer_IsContiguous(&view, 'F') &&
         !PyBuffer_IsContiguous(&view, 'C');
}

StridedDoubles<const std::byte> InputDoubles::strided() const noexcept {
  return {static_cast<const std::byte*>(held_.view().buf), shape_, strides_};
}

// ---------------------------------------------------------------- OutputDoubles

PyObject* shape_tuple(const std::vector<std::int64_t>& shape) {
  Ref tuple = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(axis),
                     check(PyLong_FromLongLong(shape[axis])));
  }
  return tuple.release();
}

OutputDoubles::OutputDoubles(const std::vector<std::int64_t>& shape, bool fortran_order)
    : shape_(shape) {
  Ref dims(shape_tuple(shape));
  Ref order = Ref::checked(PyUnicode_FromString(fortran_order ? "F" : "C"));
  array_ = Ref::checked(PyObject_CallFunctionObjArgs(numpy_empty.get(), dims.get(),
                                                     numpy_float64.get(), order.get(), nullptr));
  if (!held_.acquire(array_.get(), true) || !held_.holds_native_doubles()) {
    fail("numpy.empty gave no writable float64 buffer");
  }
  strides_ = held_.strides();
}

OutputDoubles::OutputDoubles(PyObject* out, std::string_view name,
                             const std::vector<std::int64_t>& shape)
    : array_(Py_NewRef(out)), shape_(shape) {
  const int is_array = PyObject_IsInstance(out, numpy_ndarray.get());
  if (is_array < 0) {
    throw PythonError{};
  }
  if (is_array == 0) {
    raise_wrong_type(name, "a numpy.ndarray", out);
  }
  if (!held_.acquire(out, false)) {
    throw PythonError{};  // an ndarray always offers a view; pass on whatever stopped it
  }
  if (!held_.holds_native_doubles()) {
    Ref dtype = attribute_text(out, "dtype");
    PyErr_Format(PyExc_TypeError, "%.*s must have dtype float64, got %U",
                 static_cast<int>(name.size()), name.data(), dtype.get());
    throw PythonError{};
  }
  if (held_.shape() != shape) {
    Ref expected(shape_tuple(shape));
    Ref received = attribute_text(out, "shape");
    PyErr_Format(PyExc_ValueError, "%.*s must have shape %S, got %U", static_cast<int>(name.size()),
                 name.data(), expected.get(), received.get());
    throw PythonError{};
  }
  if (held_.view().readonly) {
    PyErr_Format(PyExc_ValueError, "%.*s must be writable, got a read-only array",
                 static_cast<int>(name.size()), name.data());
    throw PythonError{};
  }
  strides_ = held_.strides();
}

PyObject* numpy_float64_type() { return numpy_float64.get(); }
PyObject* numpy_int64_type() { return numpy_int64.get(); }
PyObject* numpy_ndarray_type() { return numpy_ndarray.get(); }
PyObject* numpy_asarray_function() { return numpy_asarray.get(); }

NewArray::NewArray(const std::vector<std::int64_t>& shape, PyObject* dtype) {
  Ref dims(shape_tuple(shape));
  array_ =
      Ref::checked(PyObject_CallFunctionObjArgs(numpy_empty.get(), dims.get(), dtype, nullptr));
  if (!held_.acquire(array_.get(), true)) {
    fail("numpy.empty gave no writable buffer");
  }
}

StridedDoubles<std::byte> OutputDoubles::strided() noexcept {
  return {static_cast<std::byte*>(held_.view().buf), shape_, strides_};
}

}  // namespace quorvel::python
