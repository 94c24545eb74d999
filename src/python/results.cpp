#include "results.hpp"

#include <memory>

namespace quorvel::python {

PyObject* to_python(const std::string& text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* to_python(std::span<const double> values) {
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    set_list_item(list.get(), static_cast<Py_ssize_t>(i), PyFloat_FromDouble(values[i]));
  }
  return list.release();
}

std::string float_repr(double value) {
  const std::unique_ptr<char, decltype(&PyMem_Free)> text(
      check(PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr)), &PyMem_Free);
  return text.get();
}

}  // namespace quorvel::python
