#include "binding.hpp"

#include <cmath>
#include <limits>
#include <memory>

namespace quorvel::python {

namespace {

[[noreturn]] void raise_type_error(PyObject* message) {
  if (message != nullptr) {
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
  }
  throw PythonError{};
}

std::size_t find_parameter(std::span<const std::string_view> names, PyObject* key) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (PyUnicode_EqualToUTF8AndSize(key, names[i].data(),
                                     static_cast<Py_ssize_t>(names[i].size()))) {
      return i;
    }
  }
  return names.size();
}

void bind_keyword(FullName full_name, const Parameters& params, PyObject* key, PyObject* value,
                  PyObject** out) {
  const std::size_t index = find_parameter(params.names, key);
  if (index == params.names.size()) {
    raise_type_error(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                          full_name.text().c_str(), key));
  }
  if (out[index] != nullptr) {
    raise_type_error(PyUnicode_FromFormat("%s got multiple values for argument '%U'",
                                          full_name.text().c_str(), key));
  }
  out[index] = value;
}

void bind_positional(FullName full_name, const Parameters& params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject** out) {
  if (static_cast<std::size_t>(nargs) > params.positional) {
    const bool singular = params.python_grammar && params.positional == 1;
    raise_type_error(PyUnicode_FromFormat("%s takes %zu positional argument%s but %zd %s given",
                                          full_name.text().c_str(), params.positional,
                                          singular ? "" : "s", nargs,
                                          params.python_grammar && nargs == 1 ? "was" : "were"));
  }
  std::fill_n(out, params.names.size(), nullptr);
  std::copy_n(args, nargs, out);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
void check_all_bound(FullName full_name, const Parameters& params, PyObject* const* out) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < params.positional; ++i) {
    if (out[i] == nullptr) {
      missing.push_back(params.names[i]);
    }
  }
  if (missing.empty()) {
    return;
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) {
        list += ",";
      }
      list += (i + 1 == missing.size()) ? " and " : " ";
    }
    list += "'";
    list += missing[i];
    list += "'";
  }
  raise_type_error(PyUnicode_FromFormat("%s missing %zu required positional argument%s: %s",
                                        full_name.text().c_str(), missing.size(),
                                        missing.size() == 1 ? "" : "s", list.c_str()));
}

std::string qualified_type_name(PyObject* obj) {
  Ref name(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  const char* text = PyUnicode_AsUTF8(name.get());
  if (text == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return text;
}

}  // namespace

PyObject* panic_type() {
  // Created on first need and kept for the life of the process; never added to the module.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    Ref created(PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when quorvel's native code fails one of its internal checks.\n\n"
        "Like SystemExit, it derives from BaseException rather than Exception, so that\n"
        "a handler for Exception does not swallow it: it typically propagates all the\n"
        "way up and ends the interpreter.",
        PyExc_BaseException, nullptr));
    if (!created || !make_panic_picklable(created.get())) {
      return nullptr;
    }
    type = created.release();
  }
  return type;
}

std::string FullName::text() const {
  return owner == nullptr ? std::string(name) + "()" : std::string(owner) + "." + name + "()";
}

void bind_fastcall_general(FullName full_name, const Parameters& params, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  bind_positional(full_name, params, args, nargs, out);
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      bind_keyword(full_name, params, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out);
    }
  }
  check_all_bound(full_name, params, out);
}

void bind_tuple(FullName full_name, const Parameters& params, PyObject* args, PyObject* kwargs,
                PyObject** out) {
  bind_positional(full_name, params, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      bind_keyword(full_name, params, key, value, out);
    }
  }
  check_all_bound(full_name, params, out);
}

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
  Ref message(PyUnicode_FromFormat("argument '%.*s': %U", static_cast<int>(name.size()),
                                   name.data(), text.get()));
  Ref error(message ? PyObject_CallOneArg(PyExc_TypeError, message.get()) : nullptr);
  if (!error) {
    Py_DECREF(cause);
    return;
  }
  PyException_SetCause(error.get(), cause);  // steals cause
  PyErr_SetRaisedException(error.release());
}

std::uint32_t to_u32(PyObject* obj) {
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
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::uint32_t>(value);
}

double to_double_general(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    throw PythonError{};
  }
  return value;
}

std::vector<double> to_double_vector(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as 'Sequence'",
                 qualified_type_name(obj).c_str());
    throw PythonError{};
  }
  Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
    PyErr_Clear();  // the length only pre-sizes the result
    length = 0;
  }
  std::vector<double> values;
  // A __len__ may report anything; pre-size modestly and let the vector grow.
  values.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(length, Py_ssize_t{1} << 20)));
  Ref iterator = Ref::checked(PyObject_GetIter(obj));
  while (Ref item{PyIter_Next(iterator.get())}) {
    values.push_back(to_double(item.get()));
  }
  if (PyErr_Occurred()) {
    throw PythonError{};
  }
  return values;
}

namespace {

// The type's short name, as Python's own messages give it ("float", "float64").
std::string type_name(PyObject* obj) {
  Ref name(PyType_GetName(Py_TYPE(obj)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return text;
}

}  // namespace

void raise_wrong_type(std::string_view name, const char* what, PyObject* received) {
  PyErr_Format(PyExc_TypeError, "%.*s must be %s, got %s", static_cast<int>(name.size()),
               name.data(), what, type_name(received).c_str());
  throw PythonError{};
}

void raise_wrong_value(std::string_view name, std::string_view what, PyObject* received) {
  Ref repr = Ref::checked(PyObject_Repr(received));
  PyErr_Format(PyExc_ValueError, "%.*s must be %.*s, got %U", static_cast<int>(name.size()),
               name.data(), static_cast<int>(what.size()), what.data(), repr.get());
  throw PythonError{};
}

void raise_wrong_value(std::string_view name, std::string_view what, std::int64_t received) {
  const Ref value = Ref::checked(PyLong_FromLongLong(received));
  raise_wrong_value(name, what, value.get());
}

std::int64_t to_bounded_integer(PyObject* obj, std::string_view name, std::int64_t min,
                                std::int64_t max) {
  // bool is an int to Python, but a count or an order given as True is a slip.
  if (PyBool_Check(obj) || std::string_view(Py_TYPE(obj)->tp_name) == "numpy.bool") {
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

Real FromPythonNamed<Real>::convert(PyObject* obj, std::string_view name) {
  if (PyFloat_CheckExact(obj)) {
    return {PyFloat_AS_DOUBLE(obj)};
  }
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_wrong_type(name, "a real number", obj);
    }
    throw PythonError{};
  }
  return {value};
}

Length FromPythonNamed<Length>::convert(PyObject* obj, std::string_view name) {
  const double value = FromPythonNamed<Real>::convert(obj, name).value;
  if (!(value > 0.0) || !std::isfinite(value)) {
    raise_wrong_value(name, "positive and finite", obj);
  }
  return {value};
}

Text FromPythonNamed<Text>::convert(PyObject* obj, std::string_view name) {
  if (!PyUnicode_Check(obj)) {
    raise_wrong_type(name, "a str", obj);
  }
  Py_ssize_t size = 0;
  const char* text = check(PyUnicode_AsUTF8AndSize(obj, &size));
  return {std::string(text, static_cast<std::size_t>(size))};
}

PyObject* LazyAttribute::get() {
  if (cached_ == nullptr) {
    Ref module = Ref::checked(PyImport_ImportModule(module_));
    cached_ = check(PyObject_GetAttrString(module.get(), attribute_));
  }
  return cached_;
}

PyObject* to_python(double value) { return check(PyFloat_FromDouble(value)); }

std::string float_repr(double value) {
  const std::unique_ptr<char, decltype(&PyMem_Free)> text(
      check(PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr)), &PyMem_Free);
  return text.get();
}

PyObject* to_python(const std::string& text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* to_python(std::span<const double> values) {
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(values[i])));
  }
  return list.release();
}

PyObject* to_python(const CsrMatrix& matrix) {
  // The triplets of the matrix, written straight into the three lists.
  const auto count = static_cast<Py_ssize_t>(matrix.nonZeros());
  Ref rows = Ref::checked(PyList_New(count));
  Ref cols = Ref::checked(PyList_New(count));
  Ref values = Ref::checked(PyList_New(count));
  Py_ssize_t k = 0;
  for_each_stored_entry(matrix, [&](std::int64_t row, std::int64_t col, double value) {
    PyList_SET_ITEM(rows.get(), k, check(PyLong_FromLongLong(row)));
    PyList_SET_ITEM(cols.get(), k, check(PyLong_FromLongLong(col)));
    PyList_SET_ITEM(values.get(), k, check(PyFloat_FromDouble(value)));
    ++k;
  });
  return check(PyTuple_Pack(3, rows.get(), cols.get(), values.get()));
}

void raise_panic(const std::string& message) {
  PyObject* type = panic_type();
  if (type == nullptr) {
    return;  // the error that prevented creating the class is pending
  }
  Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) {
    PyErr_SetObject(type, text.get());
  }
}

void check_receiver(PyObject* self, PyTypeObject* expected, const char* class_name) {
  if (self == nullptr || Py_TYPE(self) != expected) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'",
                 self == nullptr ? "NoneType" : qualified_type_name(self).c_str(), class_name);
    throw PythonError{};
  }
}

}  // namespace quorvel::python
