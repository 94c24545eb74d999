// The module functions of the Lagrange side: nodes, prolongation between
// meshes, and the change of basis to Legendre DOFs. The two matrices come
// from one builder each, read out as triplets by the original functions and
// handed to SciPy as csr_array by the `_csr` ones.

#include <cstdint>
#include <string>

#include "callables.hpp"
#include "module_contents.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/prolongation_rows.hpp"
#include "sparse_results.hpp"

namespace quorvel::python {

namespace {

constexpr std::int64_t u32_max = 4294967295;

// ---------------------------------------------------------------- the original functions
//
// They run on the calling thread, with the interpreter lock held.

using GetLagrangePoints = Function<"get_lagrange_points", Messages::original,
                                   [](std::uint32_t degree, std::uint32_t n_t, double T) {
                                     return LagrangeBasis::create(degree, n_t, T).points();
                                   },
                                   "degree", "n_t", "T">;

using LagrangeProlongationMatrix =
    Function<"lagrange_prolongation_matrix", Messages::original,
             [](std::uint32_t nt_coarse, std::uint32_t nt_fine, std::uint32_t degree) {
               // The matrix depends on degree and counts alone; computing the coarse nodes
               // would only cost memory (gigabytes for a huge coarse mesh).
               return to_triplets(LagrangeBasis::without_points(degree, nt_coarse)
                                      .get_prolongation_matrix_to(nt_fine, nullptr));
             },
             "nt_coarse", "nt_fine", "degree">;

using LagrangeToLegendre =
    Function<"lagrange_to_legendre_basis_transformation", Messages::original,
             [](std::uint32_t degree, std::uint32_t n_t) {
               return to_triplets(LagrangeBasis::without_points(degree, n_t)
                                      .get_transormation_matrix_to_legendre(nullptr));
             },
             "degree", "n_t">;

PyMethodDef original_definitions[] = {
    LagrangeToLegendre::def(),
    LagrangeProlongationMatrix::def(),
    GetLagrangePoints::def(),
};

// ---------------------------------------------------------------- as csr_array

// Each mesh of the prolongation holds at most 4294967295 DOFs, as the triplets' do.
void refuse_large_mesh(std::string_view name, std::int64_t intervals, std::int64_t degree) {
  refuse_unless_fits(name, intervals, 1,
                     " at degree " + std::to_string(degree) + messages::dofs_per_mesh,
                     [&](std::int64_t n) {
                       return static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(degree) <
                              max_prolongation_dofs;
                     });
}

using LagrangeProlongationCsr =
    Function<"lagrange_prolongation_csr", Messages::named,
             [](Bounded<1, u32_max> nt_coarse, Bounded<1, u32_max> nt_fine,
                Bounded<1, lagrange_degree_limit> degree) -> PyObject* {
               refuse_large_mesh("nt_coarse", nt_coarse.value, degree.value);
               refuse_large_mesh("nt_fine", nt_fine.value, degree.value);
               return build_csr_array([&] {
                 return LagrangeBasis::without_points(static_cast<std::uint32_t>(degree.value),
                                                      static_cast<std::uint32_t>(nt_coarse.value))
                     .get_prolongation_matrix_to(static_cast<std::uint32_t>(nt_fine.value),
                                                 &global_thread_pool());
               });
             },
             "nt_coarse", "nt_fine", "degree">;

using LagrangeToLegendreCsr =
    Function<"lagrange_to_legendre_csr", Messages::named,
             [](Bounded<1, u32_max> degree, Bounded<0, u32_max> n_t) -> PyObject* {
               refuse_unaddressable(degree.value, n_t.value, [](std::int64_t d, std::int64_t n) {
                 return lagrange_to_legendre_size(static_cast<std::uint32_t>(d),
                                                  static_cast<std::uint32_t>(n));
               });
               return build_csr_array([&] {
                 return LagrangeBasis::without_points(static_cast<std::uint32_t>(degree.value),
                                                      static_cast<std::uint32_t>(n_t.value))
                     .get_transormation_matrix_to_legendre(&global_thread_pool());
               });
             },
             "degree", "n_t">;

PyMethodDef csr_definitions[] = {
    LagrangeProlongationCsr::def<
        "The matrix that carries Lagrange DOFs from nt_coarse to nt_fine intervals, as a\n"
        "scipy.sparse.csr_array of shape (nt_fine * degree + 1, nt_coarse * degree + 1).\n\n"
        "Its stored entries, row by row with ascending columns, are the triplets of\n"
        "lagrange_prolongation_matrix(nt_coarse, nt_fine, degree), bit for bit. data,\n"
        "indices and indptr view arrays that quorvel allocated once (indices int32 when\n"
        "the sizes fit, else int64), built without the interpreter lock. degree, nt_coarse\n"
        "and nt_fine must be at least 1, degree at most 100, with at most 4294967295 DOFs\n"
        "per mesh (ValueError otherwise).">(),
    LagrangeToLegendreCsr::def<
        "The matrix that turns Lagrange DOFs into Legendre DOFs, as a scipy.sparse.csr_array\n"
        "of shape ((degree + 1) * n_t, n_t * degree + 1).\n\n"
        "Its stored entries, row by row with ascending columns, are the triplets of\n"
        "lagrange_to_legendre_basis_transformation(degree, n_t), bit for bit. data,\n"
        "indices and indptr view arrays that quorvel allocated once (indices int32 when\n"
        "the sizes fit, else int64), built without the interpreter lock. degree must be\n"
        "at least 1 (ValueError otherwise).">(),
};

}  // namespace

std::span<PyMethodDef> lagrange_functions() { return original_definitions; }

std::span<PyMethodDef> sparse_array_functions() { return csr_definitions; }

}  // namespace quorvel::python
