#include "signature.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "support/messages.hpp"

namespace quorvel::python {

namespace {

[[noreturn]] void raise_type_error(PyObject* message) {
  if (message != nullptr) {
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
  }
  throw PythonError{};
}

std::size_t find_parameter(const Parameters& params, PyObject* key) {
  for (std::size_t i = 0; i < params.count; ++i) {
    const std::string_view name = params.names[i];
    if (PyUnicode_EqualToUTF8AndSize(key, name.data(), static_cast<Py_ssize_t>(name.size()))) {
      return i;
    }
  }
  return params.count;
}

void bind_keyword(const Parameters& params, PyObject* key, PyObject* value, PyObject** out) {
  const std::size_t index = find_parameter(params, key);
  if (index == params.count) {
    raise_type_error(
        PyUnicode_FromFormat(messages::unexpected_keyword, params.full_name.data(), key));
  }
  if (out[index] != nullptr) {
    raise_type_error(PyUnicode_FromFormat(messages::multiple_values, params.full_name.data(), key));
  }
  out[index] = value;
}

void bind_positional(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
  if (static_cast<std::size_t>(nargs) > params.positional) {
    const bool python_grammar = params.messages == Messages::named;
    const bool singular = python_grammar && params.positional == 1;
    raise_type_error(PyUnicode_FromFormat(messages::too_many_positional, params.full_name.data(),
                                          params.positional, singular ? "" : "s", nargs,
                                          python_grammar && nargs == 1 ? "was" : "were"));
  }
  std::fill_n(out, params.count, nullptr);
  std::copy_n(args, nargs, out);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) {
        list += ",";
      }
      list += (i + 1 == names.size()) ? " and " : " ";
    }
    list += "'";
    list += names[i];
    list += "'";
  }
  return list;
}

// Positional parameters first, then keyword-only ones, as the interpreter reports them.
void check_all_bound(const Parameters& params, PyObject* const* out) {
  for (const bool keyword_only : {false, true}) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < params.count; ++i) {
      if ((i >= params.positional) == keyword_only && params.required[i] && out[i] == nullptr) {
        missing.push_back(params.names[i]);
      }
    }
    if (missing.empty()) {
      continue;
    }
    const std::string list = quoted_list(missing);
    if (keyword_only) {
      raise_type_error(PyUnicode_FromFormat(messages::missing_keyword_only, params.full_name.data(),
                                            missing.size(), missing.size() == 1 ? "" : "s",
                                            list.c_str()));
    }
    raise_type_error(PyUnicode_FromFormat(messages::missing_arguments, params.full_name.data(),
                                          missing.size(), missing.size() == 1 ? "" : "s",
                                          list.c_str()));
  }
}

}  // namespace

void bind_fastcall_general(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  bind_positional(params, args, nargs, out);
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      bind_keyword(params, PyTuple_GetItem(kwnames, i), args[nargs + i], out);
    }
  }
  check_all_bound(params, out);
}

void bind_tuple(const Parameters& params, PyObject* args, PyObject* kwargs, PyObject** out) {
  // The items of the tuple, borrowed; more than the parameters is refused before any is read.
  const Py_ssize_t nargs = PyTuple_Size(args);
  std::vector<PyObject*> items(static_cast<std::size_t>(
      std::min<Py_ssize_t>(nargs, static_cast<Py_ssize_t>(params.positional))));
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  bind_positional(params, items.data(), nargs, out);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      bind_keyword(params, key, value, out);
    }
  }
  check_all_bound(params, out);
}

}  // namespace quorvel::python
