// The module functions that return the Lagrange matrices as
// scipy.sparse.csr_array: compressed rows written once in C++ without the
// interpreter lock, then handed to SciPy without a copy (data, indices and
// indptr view the C++ arrays).

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "binding.hpp"
#include "csr_arrays.hpp"
#include "module_contents.hpp"
#include "owned_buffer.hpp"
#include "piecewise_polynomials/lagrange_compressed_rows.hpp"
#include "piecewise_polynomials/prolongation_rows.hpp"

namespace quorvel::python {

namespace {

constexpr std::int64_t u32_max = 4294967295;

// The prolongation's meshes hold at most 4294967295 DOFs, as the triplets' do.
void check_mesh_size(std::string_view name, std::int64_t intervals, std::int64_t degree) {
  const auto limit = static_cast<std::int64_t>(max_prolongation_dofs - 1) / degree;
  if (intervals > limit) {
    raise_wrong_value(name,
                      "at most " + std::to_string(limit) + " at degree " + std::to_string(degree) +
                          " (at most " + std::to_string(max_prolongation_dofs) + " DOFs per mesh)",
                      intervals);
  }
}

// Counts whose matrix could never be allocated are refused, naming n_t, or the
// degree when even one interval is too many.
void check_lagrange_to_legendre_size(std::int64_t degree, std::int64_t n_t) {
  check_addressable(degree, n_t, [](std::int64_t d, std::int64_t n) {
    return lagrange_to_legendre_size(static_cast<std::uint32_t>(d), static_cast<std::uint32_t>(n));
  });
}

using LagrangeProlongationCsr =
    Function<"lagrange_prolongation_csr",
             [](Bounded<1, u32_max> nt_coarse, Bounded<1, u32_max> nt_fine,
                Bounded<1, u32_max - 1> degree) -> PyObject* {
               check_mesh_size("nt_coarse", nt_coarse.value, degree.value);
               check_mesh_size("nt_fine", nt_fine.value, degree.value);
               return build_csr_array([&] {
                 return prolongation_compressed_rows(static_cast<std::uint32_t>(degree.value),
                                                     static_cast<std::uint32_t>(nt_coarse.value),
                                                     static_cast<std::uint32_t>(nt_fine.value));
               });
             },
             "nt_coarse", "nt_fine", "degree">;

using LagrangeToLegendreCsr =
    Function<"lagrange_to_legendre_csr",
             [](Bounded<1, u32_max> degree, Bounded<0, u32_max> n_t) -> PyObject* {
               check_lagrange_to_legendre_size(degree.value, n_t.value);
               return build_csr_array([&] {
                 return lagrange_to_legendre_compressed_rows(
                     static_cast<std::uint32_t>(degree.value),
                     static_cast<std::uint32_t>(n_t.value));
               });
             },
             "degree", "n_t">;

PyMethodDef definitions[] = {
    LagrangeProlongationCsr::def<
        "The matrix that carries Lagrange DOFs from nt_coarse to nt_fine intervals, as a\n"
        "scipy.sparse.csr_array of shape (nt_fine * degree + 1, nt_coarse * degree + 1).\n\n"
        "Its stored entries, row by row with ascending columns, are the triplets of\n"
        "lagrange_prolongation_matrix(nt_coarse, nt_fine, degree), bit for bit. data,\n"
        "indices and indptr view arrays that quorvel allocated once (indices int32 when\n"
        "the sizes fit, else int64), built without the interpreter lock. degree, nt_coarse\n"
        "and nt_fine must be at least 1, with at most 4294967295 DOFs per mesh\n"
        "(ValueError otherwise).">(),
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

std::span<PyMethodDef> sparse_array_functions() { return definitions; }

}  // namespace quorvel::python
