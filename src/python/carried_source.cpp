#include "carried_source.hpp"

namespace quorvel::python {

// The text of src/python/galerkin.py, generated into the build by CMake.
extern const char galerkin_source[];

namespace {

PyObject* carried_namespace() {
  static PyObject* globals = nullptr;  // kept for the process, like the module object
  if (globals == nullptr) {
    Ref module = Ref::checked(PyModule_New("quorvel._galerkin"));
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    Ref builtins = Ref::checked(PyImport_ImportModule("builtins"));
    if (PyDict_SetItemString(dict, "__builtins__", builtins.get()) < 0) {
      throw PythonError{};
    }
    Ref code =
        Ref::checked(Py_CompileString(galerkin_source, "quorvel/galerkin.py", Py_file_input));
    Ref ran = Ref::checked(PyEval_EvalCode(code.get(), dict, dict));
    globals = Py_NewRef(dict);
  }
  return globals;
}

}  // namespace

PyObject* carried_function(const char* name) {
  PyObject* function = PyDict_GetItemString(carried_namespace(), name);  // borrowed
  if (function == nullptr) {
    PyErr_Format(PyExc_SystemError, "the carried source defines no %s", name);
    throw PythonError{};
  }
  return function;
}

}  // namespace quorvel::python
