#pragma once
// What the module initializer adds, one factory per attribute.

#include <span>

#include "handle.hpp"

namespace quorvel::python {

/// @brief lagrange_to_legendre_basis_transformation, lagrange_prolongation_matrix and
/// get_lagrange_points, in the order the module adds them.
std::span<PyMethodDef> lagrange_functions();

/// @brief lagrange_prolongation_csr and lagrange_to_legendre_csr, in the order the module
/// adds them.
std::span<PyMethodDef> sparse_array_functions();

/// @brief legendre_mass_matrix, legendre_dg_time_matrix, lagrange_mass_matrix and
/// lagrange_derivative_matrix.
std::span<PyMethodDef> time_matrix_functions();

/// @brief The LegendreBasis class.
PyObject* create_legendre_basis_class();

/// @brief The LegendreBasisEvaluator class.
PyObject* create_legendre_basis_evaluator_class();

/// @brief The LegendreExpansion class.
PyObject* create_legendre_expansion_class();

/// @brief solve_dg, solve_cg, legendre_dg_local_matrices and lagrange_cg_time_matrices.
std::span<PyMethodDef> galerkin_functions();

/// @brief quadrature.
PyMethodDef& quadrature_function();

}  // namespace quorvel::python
