#include "placement.hpp"

#include <string>

#include "arrays.hpp"
#include "support/messages.hpp"

namespace quorvel::python {

namespace {

LazyAttribute numpy_asarray_of("numpy", "asarray");
LazyAttribute numpy_int64("numpy", "int64");

Ref attribute_text(PyObject* obj, const char* attribute) {
  Ref value = Ref::checked(PyObject_GetAttrString(obj, attribute));
  return Ref::checked(PyObject_Str(value.get()));
}

}  // namespace

Side Converter<Side>::convert(PyObject* obj, std::string_view name) {
  const std::string text = Converter<Text>::convert(obj, name).value;
  if (text == "right") {
    return {kernel::Rule::right};
  }
  if (text == "left") {
    return {kernel::Rule::left};
  }
  raise_wrong_value(name, "'left' or 'right'", obj);
}

std::vector<std::int64_t> given_intervals(PyObject* obj, std::string_view name,
                                          const std::vector<std::int64_t>& shape,
                                          std::uint32_t n_t) {
  const auto length = static_cast<int>(name.size());
  Ref array(call_one(numpy_asarray_of.get(), obj));
  if (!array) {
    throw PythonError{};
  }
  Ref dtype = Ref::checked(PyObject_GetAttrString(array.get(), "dtype"));
  Ref kind = Ref::checked(PyObject_GetAttrString(dtype.get(), "kind"));
  Ref size = Ref::checked(PyObject_GetAttrString(array.get(), "size"));
  const bool empty = PyLong_AsLongLong(size.get()) == 0;  // [] is float64 to NumPy
  if (!empty && !PyUnicode_EqualToUTF8(kind.get(), "i") &&
      !PyUnicode_EqualToUTF8(kind.get(), "u")) {
    Ref text = Ref::checked(PyObject_Str(dtype.get()));
    PyErr_Format(PyExc_TypeError, messages::not_integers, length, name.data(), text.get());
    throw PythonError{};
  }
  Ref converted = Ref::checked(PyObject_CallFunctionObjArgs(numpy_asarray_of.get(), array.get(),
                                                            numpy_int64.get(), nullptr));
  const BufferView view = BufferView::request(converted.get(), PyBUF_RECORDS_RO);
  if (view.shape() != shape) {
    Ref expected(shape_tuple(shape));
    Ref received = attribute_text(array.get(), "shape");
    PyErr_Format(PyExc_ValueError, messages::wrong_shape, length, name.data(), expected.get(),
                 received.get());
    throw PythonError{};
  }
  // The unsigned values above the signed range became negative: refused below with the rest.
  const std::vector<std::int64_t> strides = view.strides();
  std::vector<std::int64_t> intervals = contiguous_copy<std::int64_t>(
      {static_cast<const std::byte*>(view.get().buf), shape, strides});
  for (const std::int64_t c : intervals) {
    if (c < 0 || c >= static_cast<std::int64_t>(n_t)) {
      PyErr_Format(PyExc_ValueError, messages::interval_out_of_range, length, name.data(), n_t,
                   static_cast<long long>(c));
      throw PythonError{};
    }
  }
  return intervals;
}

Placement placement_of(const Option<Side>& side, const Option<Object>& given,
                       const std::vector<std::int64_t>& shape, std::uint32_t n_t,
                       std::vector<std::int64_t>& intervals) {
  const kernel::Rule rule = side.given ? side.given->rule : kernel::Rule::right;
  if (!given.given || given.given->ptr == Py_None) {
    return {rule, nullptr};
  }
  intervals = given_intervals(given.given->ptr, "intervals", shape, n_t);
  return {kernel::Rule::given, intervals.data()};
}

}  // namespace quorvel::python
