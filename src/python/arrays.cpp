#include "arrays.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "support/failure.hpp"
#include "support/messages.hpp"

namespace quorvel::python {

namespace {

LazyAttribute numpy_asarray("numpy", "asarray");
LazyAttribute numpy_float64("numpy", "float64");
LazyAttribute numpy_ndarray("numpy", "ndarray");
LazyAttribute array_array("array", "array");

// The text of an attribute, for messages: str(obj.dtype), str(obj.shape).
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

// A subclass may iterate differently from its buffer (a masked array yields `masked`), and
// a memoryview iterates only formats without a byte-order prefix: the direct read is kept
// to the exact types whose iteration gives the buffer's items, each as the same double.
bool iterates_its_float64_items(PyObject* obj) {
  if (PyMemoryView_Check(obj)) {  // memoryview has no subclasses
    return true;
  }
  // An object of either type means its module is imported: nothing is imported here.
  PyObject* const type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  return type == numpy_ndarray.get_if_imported() || type == array_array.get_if_imported();
}

// memoryview iterates "d" and "@d" only; NumPy and array.array export native doubles as "d".
bool is_contiguous_native_float64_vector(const Py_buffer& view) {
  const std::string_view format = view.format == nullptr ? "B" : view.format;
  return view.ndim == 1 && view.itemsize == 8 && (format == "d" || format == "@d") &&
         PyBuffer_IsContiguous(&view, 'C') != 0;
}

// The item-by-item conversion of a sequence: its length pre-sizes the result (a failing
// length query counts as 0), then every item of its iteration is converted as a double.
std::vector<double> items_of_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    raise(PyExc_TypeError, messages::str_is_not_a_sequence);
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, messages::not_a_sequence, qualified_type_name(obj).c_str());
    throw PythonError{};
  }
  Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
    PyErr_Clear();
    length = 0;
  }
  std::vector<double> values;
  // A __len__ may report anything; pre-size modestly and let the vector grow.
  values.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(length, Py_ssize_t{1} << 20)));
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    // What their iterators do, index by index against the current length, without an
    // iterator and a reference per item. Floats are read from the borrowed items: nothing
    // runs that could change the list, so its length holds until the first other item,
    // which is held while its __float__ or __index__ runs, and the length is asked again.
    const bool list = PyList_CheckExact(obj);
    const auto size = [&] { return list ? PyList_Size(obj) : PyTuple_Size(obj); };
    Py_ssize_t i = 0;
    for (Py_ssize_t n = size(); i < n; n = size()) {
      for (; i < n; ++i) {
        PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
        if (!PyFloat_CheckExact(item)) {
          break;
        }
        values.push_back(PyFloat_AsDouble(item));
      }
      if (i < n) {
        const Ref held(Py_NewRef(list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i)));
        values.push_back(Converter<double>::convert(held.get(), {}));
        ++i;
      }
    }
    return values;
  }
  Ref iterator = Ref::checked(PyObject_GetIter(obj));
  while (Ref item{PyIter_Next(iterator.get())}) {
    values.push_back(Converter<double>::convert(item.get(), {}));
  }
  if (PyErr_Occurred()) {
    throw PythonError{};
  }
  return values;
}

}  // namespace

bool is_native_float64_format(const char* format) noexcept {
  const std::string_view f = format == nullptr ? "B" : format;
  if (f == "d" || f == "@d" || f == "=d") {
    return true;
  }
  if constexpr (std::endian::native == std::endian::little) {
    return f == "<d";
  } else {
    return f == ">d" || f == "!d";
  }
}

// ---------------------------------------------------------------- BufferView

void BufferView::Release::operator()(Py_buffer* view) const noexcept {
  PyBuffer_Release(view);
  delete view;
}

BufferView BufferView::request(PyObject* exporter, int flags) {
  auto view = std::make_unique<Py_buffer>();
  if (PyObject_GetBuffer(exporter, view.get(), flags) < 0) {
    throw PythonError{};
  }
  BufferView held;
  held.view_.reset(view.release());
  return held;
}

BufferView BufferView::request_or_none(PyObject* exporter, int flags) {
  try {
    return request(exporter, flags);
  } catch (const PythonError&) {
    PyErr_Clear();
    return {};
  }
}

bool BufferView::holds_native_float64() const noexcept {
  return view_ != nullptr && view_->itemsize == sizeof(double) &&
         is_native_float64_format(view_->format);
}

std::vector<std::int64_t> BufferView::shape() const {
  if (view_->ndim == 0) {
    return {};  // a 0-d view may carry no shape array at all
  }
  if (view_->shape == nullptr) {
    return {view_->len / view_->itemsize};  // the buffer protocol's one-dimensional default
  }
  return {view_->shape, view_->shape + view_->ndim};
}

std::vector<std::int64_t> BufferView::strides() const {
  if (view_->strides != nullptr) {
    return {view_->strides, view_->strides + view_->ndim};
  }
  // No strides (ctypes arrays give none): the items lie in C order without gaps.
  return c_order_strides(shape(), view_->itemsize);
}

// ---------------------------------------------------------------- InputArray

void InputArray::describe(std::vector<std::int64_t> shape, std::vector<std::int64_t> strides,
                          const void* data) {
  shape_ = std::move(shape);
  strides_ = std::move(strides);
  size_ = element_count(shape_);
  data_ = static_cast<const std::byte*>(data);
}

void InputArray::describe_items() {
  describe({static_cast<std::int64_t>(items_.size())}, {sizeof(double)}, items_.data());
}

InputArray InputArray::float64_buffer(PyObject* obj, std::string_view /*name*/) {
  InputArray input;
  input.view_ = BufferView::request(obj, PyBUF_FULL_RO);
  const Py_buffer& view = input.view_.get();
  const char* refusal = nullptr;
  if (view.shape == nullptr) {
    refusal = messages::shape_is_null;
  } else if (view.strides == nullptr) {
    refusal = messages::strides_is_null;
  } else if (view.itemsize != 8 || !is_native_float64_format(view.format)) {
    refusal = messages::not_f64;
  } else if (reinterpret_cast<std::uintptr_t>(view.buf) % 8 != 0) {
    refusal = messages::misaligned_f64;
  }
  if (refusal != nullptr) {
    input.view_ = {};
    raise(PyExc_BufferError, refusal);
  }
  std::vector<std::int64_t> shape = input.view_.shape();
  if (view.suboffsets != nullptr) {
    // Indirect: the items gathered once into C order, while the view stays held.
    input.items_.resize(checked_storage_count(static_cast<std::uint64_t>(view.len) / 8, 8));
    if (PyBuffer_ToContiguous(input.items_.data(), &view, view.len, 'C') < 0) {
      throw PythonError{};
    }
    std::vector<std::int64_t> strides = c_order_strides(shape, sizeof(double));
    input.describe(std::move(shape), std::move(strides), input.items_.data());
    return input;
  }
  input.describe(std::move(shape), input.view_.strides(), view.buf);
  return input;
}

InputArray InputArray::sequence(PyObject* obj, std::string_view /*name*/) {
  InputArray input;
  if (PyObject_CheckBuffer(obj) && iterates_its_float64_items(obj)) {
    try {
      input.view_ = BufferView::request(obj, PyBUF_RECORDS_RO);
    } catch (const PythonError&) {
      // A released memoryview: iterating it would read the format string of a buffer that
      // may be gone, so its ValueError ends the call here. Any other refusal (an object
      // array) leaves the item-by-item path to raise whatever it raised before.
      if (PyMemoryView_Check(obj) && PyErr_ExceptionMatches(PyExc_ValueError)) {
        throw;
      }
      PyErr_Clear();
    }
    if (input.view_ && is_contiguous_native_float64_vector(input.view_.get())) {
      const Py_buffer& view = input.view_.get();
      input.describe({view.len / 8}, {sizeof(double)}, view.buf);
      return input;
    }
    input.view_ = {};
  }
  input.items_ = items_of_sequence(obj);
  input.describe_items();
  return input;
}

InputArray InputArray::real_array(PyObject* obj, std::string_view name) {
  InputArray input;
  input.view_ = BufferView::request_or_none(obj, PyBUF_RECORDS_RO);
  if (!input.view_.holds_native_float64()) {
    input.view_ = {};
    Ref array(call_one(numpy_asarray.get(), obj));
    if (!array) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
        throw PythonError{};
      }
      // NumPy's own reason (a ragged list, say), under the argument's name.
      PyObject* cause = PyErr_GetRaisedException();
      PyErr_Format(PyExc_ValueError, messages::not_an_array, static_cast<int>(name.size()),
                   name.data(), cause);
      PyObject* error = PyErr_GetRaisedException();
      PyException_SetCause(error, cause);
      PyErr_SetRaisedException(error);
      throw PythonError{};
    }
    if (!is_real_kind(array.get())) {
      Ref dtype = attribute_text(array.get(), "dtype");
      PyErr_Format(PyExc_TypeError, messages::not_real, static_cast<int>(name.size()), name.data(),
                   dtype.get());
      throw PythonError{};
    }
    input.converted_ = Ref::checked(PyObject_CallFunctionObjArgs(numpy_asarray.get(), array.get(),
                                                                 numpy_float64.get(), nullptr));
    input.view_ = BufferView::request_or_none(input.converted_.get(), PyBUF_RECORDS_RO);
    if (!input.view_.holds_native_float64()) {
      fail("numpy.asarray gave no float64 buffer");
    }
  }
  input.describe(input.view_.shape(), input.view_.strides(), input.view_.get().buf);
  return input;
}

bool InputArray::fortran_ordered() const noexcept {
  if (!view_ || shape_.size() < 2) {
    return false;
  }
  auto& view = const_cast<Py_buffer&>(view_.get());
  return PyBuffer_IsContiguous(&view, 'F') && !PyBuffer_IsContiguous(&view, 'C');
}

void InputArray::copy_to(double* out, std::size_t count) const noexcept {
  // memcpy, not a loop over doubles: a view may be misaligned.
  if (count > 0) {
    std::memcpy(out, data_, count * sizeof(double));
  }
}

// ---------------------------------------------------------------- OutputArray

PyObject* shape_tuple(const std::vector<std::int64_t>& shape) {
  Ref tuple = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(axis),
                        check(PyLong_FromLongLong(shape[axis]))) < 0) {
      throw PythonError{};
    }
  }
  return tuple.release();
}

OutputArray::OutputArray(PyObject* out, std::string_view name,
                         const std::vector<std::int64_t>& shape)
    : array_(Py_NewRef(out)) {
  const int is_array = PyObject_IsInstance(out, numpy_ndarray.get());
  if (is_array < 0) {
    throw PythonError{};
  }
  if (is_array == 0) {
    raise_wrong_type(name, "a numpy.ndarray", out);
  }
  // An ndarray always offers a view; whatever stopped it is passed on.
  view_ = BufferView::request(out, PyBUF_RECORDS_RO);
  const auto length = static_cast<int>(name.size());
  if (!view_.holds_native_float64()) {
    Ref dtype = attribute_text(out, "dtype");
    PyErr_Format(PyExc_TypeError, messages::wrong_dtype, length, name.data(), dtype.get());
    throw PythonError{};
  }
  if (view_.shape() != shape) {
    Ref expected(shape_tuple(shape));
    Ref received = attribute_text(out, "shape");
    PyErr_Format(PyExc_ValueError, messages::wrong_shape, length, name.data(), expected.get(),
                 received.get());
    throw PythonError{};
  }
  if (view_.get().readonly) {
    PyErr_Format(PyExc_ValueError, messages::read_only, length, name.data());
    throw PythonError{};
  }
  strides_ = view_.strides();
  // Results written to one element for several indices would overwrite each other, and
  // times read back from it would already be results.
  if (has_overlapping_elements(view_.shape(), strides_)) {
    Ref strides = attribute_text(out, "strides");
    PyErr_Format(PyExc_ValueError, messages::overlapping_elements, length, name.data(),
                 strides.get());
    throw PythonError{};
  }
}

PyObject* numpy_asarray_function() { return numpy_asarray.get(); }

}  // namespace quorvel::python
