#pragma once
// What the module initializer adds, one factory per attribute.

#include "handle.hpp"

namespace quorvel::python {

/// @brief The LegendreBasis class.
PyObject* create_legendre_basis_class();

}  // namespace quorvel::python
