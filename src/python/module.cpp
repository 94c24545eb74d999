// The module's entry point: one interpreter, one module object, and its
// attributes added in a fixed order, each listed in __all__.

#include <atomic>
#include <cstdint>
#include <string>

#include "callables.hpp"
#include "instances.hpp"
#include "module_contents.hpp"
#include "support/bulk_array.hpp"
#include "support/messages.hpp"

namespace quorvel::python {

namespace {

using SumAsString = Function<"sum_as_string", Messages::original,
                             [](std::uint32_t a, std::uint32_t b) {
                               // The exact sum: two 32-bit values always fit 64 bits.
                               return std::to_string(static_cast<std::uint64_t>(a) + b);
                             },
                             "a", "b">;

PyMethodDef functions[] = {
    SumAsString::def<"Formats the sum of two numbers as string.">(),
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvel",
    "Piecewise Legendre and Lagrange bases in time: evaluation of expansions and the "
    "sparse matrices between bases and meshes.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;

// Sets the attribute and appends its name to __all__ (created by the first addition).
void add_attribute(PyObject* module, const char* name, Ref value) {
  check(value.get());
  PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
  if (all == nullptr) {
    Ref created = Ref::checked(PyList_New(0));
    if (PyModule_AddObjectRef(module, "__all__", created.get()) < 0) {
      throw PythonError{};
    }
    all = created.get();
  }
  Ref text = Ref::checked(PyUnicode_FromString(name));
  if (PyList_Append(all, text.get()) < 0 || PyModule_AddObjectRef(module, name, value.get()) < 0) {
    throw PythonError{};
  }
}

void* allocate_raw(std::size_t bytes) noexcept { return PyMem_RawMalloc(bytes); }
void release_raw(void* block) noexcept { PyMem_RawFree(block); }

void initialize(PyObject* module) {
  // Arrays that leave as NumPy arrays come from the interpreter's raw allocator, which
  // tracemalloc sees, as it sees NumPy's own.
  install_bulk_memory({&allocate_raw, &release_raw});
  register_borrow_fork_handler();
  Ref name = Ref::checked(PyModule_GetNameObject(module));
  auto add_function = [&](PyMethodDef& def) {
    add_attribute(module, def.ml_name, Ref(PyCMethod_New(&def, module, name.get(), nullptr)));
  };
  add_function(functions[0]);
  for (PyMethodDef& def : lagrange_functions()) {
    add_function(def);
  }
  add_attribute(module, "LegendreBasis", Ref(create_legendre_basis_class()));
  add_attribute(module, "LegendreBasisEvaluator", Ref(create_legendre_basis_evaluator_class()));
  // Additions to the original six attributes come after them.
  for (PyMethodDef& def : sparse_array_functions()) {
    add_function(def);
  }
  for (PyMethodDef& def : time_matrix_functions()) {
    add_function(def);
  }
  add_function(quadrature_function());
  add_attribute(module, "LegendreExpansion", Ref(create_legendre_expansion_class()));
  for (PyMethodDef& def : galerkin_functions()) {
    add_function(def);
  }

  // Outside __all__: the release, and what unpickling a PanicException calls.
  Ref version = Ref::checked(PyUnicode_FromString(QUORVEL_VERSION));
  Ref reconstructor =
      Ref::checked(PyCMethod_New(&panic_reconstructor(), module, name.get(), nullptr));
  if (PyModule_AddObjectRef(module, "__version__", version.get()) < 0 ||
      PyModule_AddObjectRef(module, panic_reconstructor().ml_name, reconstructor.get()) < 0) {
    throw PythonError{};
  }
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, messages::no_exception_set);
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, messages::subinterpreters);
    return nullptr;
  }
  if (module_object != nullptr) {
    return Py_NewRef(module_object);
  }
  return boundary([]() -> PyObject* {
    Ref module = Ref::checked(PyModule_Create(&module_definition));
    initialize(module.get());
    module_object = Py_NewRef(module.get());
    return module.release();
  });
}

}  // namespace

}  // namespace quorvel::python

PyMODINIT_FUNC PyInit_quorvel() { return quorvel::python::init_module(); }
