#include "csr_arrays.hpp"

namespace quorvel::python {

namespace {

LazyAttribute csr_array_type{"scipy.sparse", "csr_array"};

}  // namespace

PyObject* csr_array_class() { return csr_array_type.get(); }

}  // namespace quorvel::python
