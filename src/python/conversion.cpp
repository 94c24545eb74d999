#include "conversion.hpp"

#include <cmath>
#include <limits>

#include "piecewise_polynomials/legendre_basis.hpp"
#include "support/messages.hpp"

namespace quorvel::python {

namespace {

// A name of the object's type: PyType_GetName, PyType_GetQualName or
// PyType_GetFullyQualifiedName ("?" if the type will not tell).
std::string type_text(PyObject* obj, PyObject* (*name_of_type)(PyTypeObject*)) {
  Ref name(name_of_type(Py_TYPE(obj)));
  Py_ssize_t size = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return {text, static_cast<std::size_t>(size)};
}

// The type's short name, as Python's own messages give it ("float", "float64").
std::string type_name(PyObject* obj) { return type_text(obj, &PyType_GetName); }

}  // namespace

std::string qualified_type_name(PyObject* obj) { return type_text(obj, &PyType_GetQualName); }

std::string full_type_name(PyObject* obj) { return type_text(obj, &PyType_GetFullyQualifiedName); }

void remap_type_error(std::string_view name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
    return;
  }
  PyObject* cause = PyErr_GetRaisedException();
  Ref text(PyObject_Str(cause));
  if (!text) {
    Py_DECREF(cause);
    return;  // the error of str() is now pending
  }
  Ref message(PyUnicode_FromFormat(messages::argument_prefix, static_cast<int>(name.size()),
                                   name.data(), text.get()));
  Ref error(message ? call_one(PyExc_TypeError, message.get()) : nullptr);
  if (!error) {
    Py_DECREF(cause);
    return;
  }
  PyException_SetCause(error.get(), cause);  // steals cause
  PyErr_SetRaisedException(error.release());
}

void raise_wrong_type(std::string_view name, const char* what, PyObject* received) {
  PyErr_Format(PyExc_TypeError, messages::wrong_type, static_cast<int>(name.size()), name.data(),
               what, type_name(received).c_str());
  throw PythonError{};
}

void raise_wrong_value(std::string_view name, std::string_view what, PyObject* received) {
  Ref repr(PyObject_Repr(received));
  if (!repr && PyLong_Check(received) && PyErr_ExceptionMatches(PyExc_ValueError)) {
    // Beyond the interpreter's limit on the digits of an int's text.
    PyErr_Clear();
    const Ref bits = Ref::checked(PyObject_CallMethod(received, "bit_length", nullptr));
    const std::size_t count = PyLong_AsSize_t(bits.get());
    if (count == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
      throw PythonError{};
    }
    repr = Ref::checked(PyUnicode_FromFormat(messages::long_int, count));
  }
  if (!repr) {
    throw PythonError{};
  }
  PyErr_Format(PyExc_ValueError, messages::wrong_value, static_cast<int>(name.size()), name.data(),
               static_cast<int>(what.size()), what.data(), repr.get());
  throw PythonError{};
}

void raise_wrong_value(std::string_view name, std::string_view what, std::int64_t received) {
  const Ref value = Ref::checked(PyLong_FromLongLong(received));
  raise_wrong_value(name, what, value.get());
}

std::uint32_t Converter<std::uint32_t>::convert(PyObject* obj, std::string_view /*name*/) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref::checked(PyNumber_Index(obj));
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    throw PythonError{};
  }
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    raise(PyExc_OverflowError, messages::out_of_range_integral);
  }
  return static_cast<std::uint32_t>(value);
}

std::int64_t to_bounded_integer(PyObject* obj, std::string_view name, std::int64_t min,
                                std::int64_t max) {
  // bool is an int to Python, but a count or an order given as True is a slip.
  if (PyBool_Check(obj) || (!PyLong_CheckExact(obj) && full_type_name(obj) == "numpy.bool")) {
    raise_wrong_type(name, "an int", obj);
  }
  Ref index(PyNumber_Index(obj));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_wrong_type(name, "an int", obj);
    }
    throw PythonError{};
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) {
    throw PythonError{};
  }
  if (overflow < 0 || (overflow == 0 && value < min)) {
    raise_wrong_value(name, "at least " + std::to_string(min), index.get());
  }
  if (overflow > 0 || value > max) {
    raise_wrong_value(name, "at most " + std::to_string(max), index.get());
  }
  return value;
}

Real Converter<Real>::convert(PyObject* obj, std::string_view name) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_wrong_type(name, "a real number", obj);
    }
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {  // an int beyond the largest double
      PyErr_Clear();
      raise_wrong_value(name, messages::within_float64, obj);
    }
    throw PythonError{};
  }
  return {value};
}

Length Converter<Length>::convert(PyObject* obj, std::string_view name) {
  const double value = Converter<Real>::convert(obj, name).value;
  if (!(value > 0.0) || !std::isfinite(value)) {
    raise_wrong_value(name, "positive and finite", obj);
  }
  return {value, obj};
}

void refuse_unrepresentable_mesh(const Length& T, std::uint32_t n_t) {
  const char* refusal = nullptr;
  switch (mesh_fault(n_t, T.value)) {
    case MeshFault::none: return;
    case MeshFault::step_not_normal: refusal = messages::mesh_step_not_normal; break;
    case MeshFault::end_overflows: refusal = messages::mesh_end_overflows; break;
    case MeshFault::ends_sum_overflows: refusal = messages::mesh_ends_sum_overflows; break;
  }
  Ref shown =
      T.given != nullptr ? Ref(Py_NewRef(T.given)) : Ref::checked(PyFloat_FromDouble(T.value));
  PyErr_Format(PyExc_ValueError, refusal, shown.get(), static_cast<unsigned>(n_t));
  throw PythonError{};
}

Text Converter<Text>::convert(PyObject* obj, std::string_view name) {
  if (!PyUnicode_Check(obj)) {
    raise_wrong_type(name, "a str", obj);
  }
  Py_ssize_t size = 0;
  const char* text = check(PyUnicode_AsUTF8AndSize(obj, &size));
  return {std::string(text, static_cast<std::size_t>(size))};
}

}  // namespace quorvel::python
