#pragma once
// What the module initializer adds, one factory per attribute.

#include "handle.hpp"

namespace quorvel::python {

/// @brief The LegendreBasis class, with __module__ set to module_name.
PyObject* create_legendre_basis_class(PyObject* module_name);

}  // namespace quorvel::python
