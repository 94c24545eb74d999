#include "instances.hpp"

#include <pthread.h>

#include <mutex>

namespace quorvel::python {

namespace {

void borrows_after_fork_in_child() noexcept {
  detail::process_generation.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void register_borrow_fork_handler() {
  static std::once_flag registered;
  std::call_once(registered,
                 [] { ::pthread_atfork(nullptr, nullptr, &borrows_after_fork_in_child); });
}

void refuse_receiver(PyObject* self, const char* class_name) {
  PyErr_Format(PyExc_TypeError, messages::cannot_cast,
               self == nullptr ? "NoneType" : qualified_type_name(self).c_str(), class_name);
  throw PythonError{};
}

PyObject* create_type(const char* qualified_name, const char* unqualified_name, int basic_size,
                      const char* doc, PyType_Slot* slots) {
  // The qualified name sets __module__ (an unqualified one draws a DeprecationWarning,
  // which fails the import under -W error); the type name itself stays unqualified.
  PyType_Spec spec = {qualified_name, basic_size, 0, Py_TPFLAGS_DEFAULT, slots};
  Ref type(PyType_FromSpec(&spec));
  if (!type) {
    return nullptr;
  }
  Ref name = Ref::checked(PyUnicode_FromString(unqualified_name));
  if (PyObject_SetAttrString(type.get(), "__name__", name.get()) < 0) {
    return nullptr;
  }
  // As for functions, a doc string that is only a text signature reads as None.
  if (std::string_view(doc).ends_with("\n--\n\n") &&
      PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0) {
    return nullptr;
  }
  return type.release();
}

}  // namespace quorvel::python
