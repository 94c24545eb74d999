// PanicException, and how it crosses process boundaries. Its qualified name
// "pyo3_runtime.PanicException" names no importable module, so the default
// reduction of an exception (the class, the arguments and the instance
// dictionary) cannot be unpickled anywhere. The class gets its own
// __reduce__: the same arguments and dictionary, with the class replaced by
// quorvel._panic_from_pickle, which creates the class in the unpickling
// process if it does not exist there yet.

#include "boundary.hpp"

#include "support/messages.hpp"

namespace quorvel::python {

namespace {

PyObject* reduce_panic(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Ref base_reduce = Ref::checked(PyObject_GetAttrString(PyExc_BaseException, "__reduce__"));
    Ref reduced = Ref::checked(call_one(base_reduce.get(), self));
    if (!PyTuple_Check(reduced.get()) || PyTuple_Size(reduced.get()) < 2) {
      raise(PyExc_TypeError, "BaseException.__reduce__ did not return a tuple");
    }
    Ref module = Ref::checked(PyImport_ImportModule("quorvel"));
    Ref reconstructor =
        Ref::checked(PyObject_GetAttrString(module.get(), panic_reconstructor().ml_name));
    // (reconstructor, *reduced[1:])
    Ref rest = Ref::checked(PyTuple_GetSlice(reduced.get(), 1, PyTuple_Size(reduced.get())));
    Ref head = Ref::checked(PyTuple_Pack(1, reconstructor.get()));
    return check(PySequence_Concat(head.get(), rest.get()));
  });
}

PyObject* panic_from_pickle(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* type = check(panic_type());
    return check(PyObject_Call(type, args, nullptr));
  });
}

PyMethodDef reduce_definition = {
    "__reduce__", &reduce_panic, METH_NOARGS,
    "__reduce__($self, /)\n--\n\n"
    "Pickling support: rebuilt by quorvel._panic_from_pickle with the same arguments."};

PyMethodDef reconstructor_definition = {
    "_panic_from_pickle", &panic_from_pickle, METH_VARARGS,
    "_panic_from_pickle(*args)\n--\n\n"
    "A PanicException with these arguments (unpickling support; not for direct use)."};

bool make_panic_picklable(PyObject* type) {
  Ref descriptor(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), &reduce_definition));
  return descriptor && PyObject_SetAttrString(type, "__reduce__", descriptor.get()) == 0;
}

}  // namespace

PyObject* panic_type() {
  // Created on first need and kept for the life of the process; never added to the module.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    Ref created(PyErr_NewExceptionWithDoc(
        messages::panic_class_name,
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

PyMethodDef& panic_reconstructor() { return reconstructor_definition; }

}  // namespace quorvel::python
