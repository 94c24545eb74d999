#pragma once
// Python source that the extension module carries: the Galerkin solvers,
// written in Python over NumPy and SciPy (their work is the spatial sparse
// factorisations and solves, which SciPy does), compiled into the module as
// text and run once, on the first call that needs it, into a module object
// of its own that is never imported by name.

#include "handle.hpp"

namespace quorvel::python {

/// @brief The function @p name of the carried source (a borrowed reference), running the
/// source first if this is the first call; NumPy and SciPy are imported then.
PyObject* carried_function(const char* name);

}  // namespace quorvel::python
