// The module functions of the Lagrange side: nodes, prolongation between
// meshes, and the change of basis to Legendre DOFs. Each builds a temporary
// LagrangeBasis and returns new Python objects.

#include "binding.hpp"
#include "module_contents.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "sparse_matrix_tools/sparse_matrix.hpp"

namespace quorvel::python {

namespace {

using GetLagrangePoints = Function<"get_lagrange_points",
                                   [](std::uint32_t degree, std::uint32_t n_t, double T) {
                                     return LagrangeBasis::create(degree, n_t, T).points();
                                   },
                                   "degree", "n_t", "T">;

using LagrangeProlongationMatrix =
    Function<"lagrange_prolongation_matrix",
             [](std::uint32_t nt_coarse, std::uint32_t nt_fine, std::uint32_t degree) {
               // The matrix depends on degree and counts alone; computing the coarse nodes
               // would only cost memory (gigabytes for a huge coarse mesh).
               return LagrangeBasis::without_points(degree, nt_coarse)
                   .get_prolongation_matrix_to(nt_fine);
             },
             "nt_coarse", "nt_fine", "degree">;

using LagrangeToLegendre = Function<"lagrange_to_legendre_basis_transformation",
                                    [](std::uint32_t degree, std::uint32_t n_t) {
                                      return LagrangeBasis::without_points(degree, n_t)
                                          .get_transormation_matrix_to_legendre();
                                    },
                                    "degree", "n_t">;

PyMethodDef definitions[] = {
    LagrangeToLegendre::def(),
    LagrangeProlongationMatrix::def(),
    GetLagrangePoints::def(),
};

}  // namespace

std::span<PyMethodDef> lagrange_functions() { return definitions; }

}  // namespace quorvel::python
