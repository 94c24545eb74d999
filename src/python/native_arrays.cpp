#include "native_arrays.hpp"

#include <memory>

#include "arrays.hpp"
#include "support/failure.hpp"

namespace quorvel::python {

namespace {

struct Owner {
  PyObject_HEAD OwnedMemory memory;
  int ndim;
  Py_ssize_t* layout;  // ndim extents, then ndim strides in bytes; nullptr when ndim is 0
  bool c_contiguous;
  bool fortran_contiguous;
};

void owner_dealloc(PyObject* self) {
  auto* owner = reinterpret_cast<Owner*>(self);
  owner->memory.release(owner->memory.holder);
  delete[] owner->layout;
  free_object(self);
}

// Whether the layout's strides are those of the order: a layout with at most one
// extent above 1 is in both orders.
bool in_order(const Py_ssize_t* layout, int ndim, Py_ssize_t item_size,
              MemoryOrder order) noexcept {
  Py_ssize_t step = item_size;
  for (int k = 0; k < ndim; ++k) {
    const int axis = order == MemoryOrder::c ? ndim - 1 - k : k;
    if (layout[axis] > 1 && layout[ndim + axis] != step) {
      return false;
    }
    step *= layout[axis];
  }
  return true;
}

// Every request is served (writable too, unless the memory is read-only: the owner
// is the memory's only user besides its views) except an order the layout is not in,
// and requests without
// strides of a layout that needs them. The memory never moves or changes size,
// so exports need no count.
int owner_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* owner = reinterpret_cast<Owner*>(self);
  const char* refusal = nullptr;
  if ((flags & PyBUF_WRITABLE) != 0 && owner->memory.read_only) {
    refusal = "the memory is read-only";
  } else if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !owner->fortran_contiguous) {
    refusal = "the memory is in C order, not in Fortran order";
  } else if ((flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS && !owner->c_contiguous) {
    refusal = "the memory is in Fortran order, not in C order";
  } else if ((flags & PyBUF_ND) != 0 && (flags & PyBUF_STRIDES) != PyBUF_STRIDES &&
             !owner->c_contiguous) {
    refusal = "the memory is in Fortran order: its view needs strides";
  }
  if (refusal != nullptr) {
    PyErr_SetString(PyExc_BufferError, refusal);
    view->obj = nullptr;
    return -1;
  }
  view->buf = owner->memory.items;
  view->obj = Py_NewRef(self);
  view->len = owner->memory.item_count * owner->memory.item_size;
  view->itemsize = owner->memory.item_size;
  view->readonly = owner->memory.read_only ? 1 : 0;
  view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(owner->memory.format) : nullptr;
  if ((flags & PyBUF_ND) != 0) {
    view->ndim = owner->ndim;
    view->shape = owner->layout;
  } else {
    view->ndim = 1;  // a plain run of bytes
    view->shape = nullptr;
  }
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES && owner->ndim > 0
                      ? owner->layout + owner->ndim
                      : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

// Created on first need and kept for the life of the process; never added to the module.
PyTypeObject* owner_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&owner_dealloc)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(&owner_getbuffer)},
        {Py_tp_doc, const_cast<char*>("Memory allocated by quorvel's native code, viewed by "
                                      "NumPy arrays and freed with the last of them.")},
        {0, nullptr},
    };
    PyType_Spec spec = {"quorvel.NativeBuffer", static_cast<int>(sizeof(Owner)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
  }
  return type;
}

}  // namespace

Ref own_memory(OwnedMemory memory, std::span<const Py_ssize_t> shape, MemoryOrder order) {
  // The memory is released here on every failure, once an owner holds it only by the owner.
  std::unique_ptr<void, void (*)(void*) noexcept> held(memory.holder, memory.release);
  Py_ssize_t count = 1;
  for (const Py_ssize_t extent : shape) {
    count *= extent;
  }
  if (shape.size() > PyBUF_MAX_NDIM || count != memory.item_count) {
    fail("native buffer: the shape does not match the item count");
  }
  const auto ndim = static_cast<int>(shape.size());
  std::unique_ptr<Py_ssize_t[]> layout(ndim > 0 ? new Py_ssize_t[2 * shape.size()] : nullptr);
  Py_ssize_t stride = memory.item_size;
  for (int k = 0; k < ndim; ++k) {
    const int axis = order == MemoryOrder::c ? ndim - 1 - k : k;
    layout[axis] = shape[static_cast<std::size_t>(axis)];
    layout[ndim + axis] = stride;
    stride *= layout[axis];
  }
  PyTypeObject* type = owner_type();
  auto* owner = reinterpret_cast<Owner*>(check(PyType_GenericAlloc(type, 0)));
  owner->memory = memory;
  owner->ndim = ndim;
  owner->c_contiguous = in_order(layout.get(), ndim, memory.item_size, MemoryOrder::c);
  owner->fortran_contiguous = in_order(layout.get(), ndim, memory.item_size, MemoryOrder::fortran);
  owner->layout = layout.release();
  [[maybe_unused]] void* const taken_over = held.release();
  return Ref(reinterpret_cast<PyObject*>(owner));
}

Ref array_of_owner(const Ref& owner) {
  return Ref::checked(call_one(numpy_asarray_function(), owner.get()));
}

}  // namespace quorvel::python
