// The time matrices of the two bases as scipy.sparse.csr_array, built in
// compressed rows without the interpreter lock and handed over without a copy.

#include <cstdint>

#include "callables.hpp"
#include "module_contents.hpp"
#include "piecewise_polynomials/time_matrices.hpp"
#include "sparse_results.hpp"

namespace quorvel::python {

namespace {

constexpr std::int64_t u32_max = 4294967295;

template <auto Rows, auto Size>
PyObject* legendre_matrix(Bounded<0, u32_max - 1> degree, Bounded<1, u32_max> n_t, Length T) {
  const auto d = static_cast<std::uint32_t>(degree.value);
  const auto n = static_cast<std::uint32_t>(n_t.value);
  refuse_unrepresentable_mesh(T, n);
  refuse_unaddressable(degree.value, n_t.value, [](std::int64_t dd, std::int64_t nn) {
    return Size(static_cast<std::uint32_t>(dd), static_cast<std::uint32_t>(nn));
  });
  return build_csr_array([&] { return Rows(d, n, T.value, &global_thread_pool()); });
}

template <auto Rows>
PyObject* lagrange_matrix(Bounded<1, lagrange_degree_limit> degree, Bounded<1, u32_max> n_t,
                          Length T) {
  const auto d = static_cast<std::uint32_t>(degree.value);
  const auto n = static_cast<std::uint32_t>(n_t.value);
  refuse_unrepresentable_mesh(T, n);
  // The n_t degree + 1 DOFs are counted in 32 bits.
  refuse_unless_fits("n_t", n_t.value, 1, " at degree " + std::to_string(degree.value),
                     [&](std::int64_t nn) { return nn * degree.value <= u32_max; });
  refuse_unaddressable(degree.value, n_t.value, [](std::int64_t dd, std::int64_t nn) {
    return lagrange_assembled_size(static_cast<std::uint32_t>(dd), static_cast<std::uint32_t>(nn));
  });
  return build_csr_array([&] { return Rows(d, n, T.value, &global_thread_pool()); });
}

using LegendreMassMatrix =
    Function<"legendre_mass_matrix", Messages::named,
             [](Bounded<0, u32_max - 1> degree, Bounded<1, u32_max> n_t, Length T) {
               return legendre_matrix<&legendre_mass_rows, &legendre_mass_size>(degree, n_t, T);
             },
             "degree", "n_t", "T">;

using LegendreDgTimeMatrix =
    Function<"legendre_dg_time_matrix", Messages::named,
             [](Bounded<0, u32_max - 1> degree, Bounded<1, u32_max> n_t, Length T) {
               return legendre_matrix<[](std::uint32_t d, std::uint32_t n, double,
                                         LazyThreadPool* pool) {
                 return legendre_dg_rows(d, n, pool);
               },
                                      &legendre_dg_size>(degree, n_t, T);
             },
             "degree", "n_t", "T">;

using LagrangeMassMatrix =
    Function<"lagrange_mass_matrix", Messages::named,
             [](Bounded<1, lagrange_degree_limit> degree, Bounded<1, u32_max> n_t, Length T) {
               return lagrange_matrix<&lagrange_mass_rows>(degree, n_t, T);
             },
             "degree", "n_t", "T">;

using LagrangeDerivativeMatrix =
    Function<"lagrange_derivative_matrix", Messages::named,
             [](Bounded<1, lagrange_degree_limit> degree, Bounded<1, u32_max> n_t, Length T) {
               return lagrange_matrix<[](std::uint32_t d, std::uint32_t n, double,
                                         LazyThreadPool* pool) {
                 return lagrange_derivative_rows(d, n, pool);
               }>(degree, n_t, T);
             },
             "degree", "n_t", "T">;

PyMethodDef definitions[] = {
    LegendreMassMatrix::def<
        "The mass matrix of the Legendre basis on the uniform mesh of [0, T] with n_t\n"
        "intervals, as a scipy.sparse.csr_array in the Legendre DOF layout (c + n_t * i).\n\n"
        "M[(c, i), (c, i)] = integral over interval c of phi_i phi_i = h / (2i + 1) with\n"
        "h = T / n_t; nothing else is stored. degree >= 0, n_t >= 1, T positive and finite.">(),
    LegendreDgTimeMatrix::def<
        "The upwind discontinuous-Galerkin time-derivative matrix of the Legendre basis, as a\n"
        "scipy.sparse.csr_array in the Legendre DOF layout (c + n_t * i).\n\n"
        "B[(c, i), (c, j)] = integral over interval c of phi_j' phi_i, plus\n"
        "phi_j(t_c+) phi_i(t_c+); B[(c, i), (c - 1, j)] = -phi_j(t_c-) phi_i(t_c+) for\n"
        "c >= 1, with t_c the left end of interval c. The entries are the integers 1, -1\n"
        "(independent of h). The initial value u0 enters the right-hand side: u0 phi_i(0+)\n"
        "= u0 (-1)^i in the rows of interval 0. degree >= 0, n_t >= 1, T positive and\n"
        "finite.">(),
    LagrangeMassMatrix::def<
        "The mass matrix of the continuous Lagrange basis on the uniform mesh of [0, T], as a\n"
        "scipy.sparse.csr_array in the Lagrange DOF order (k * degree + i).\n\n"
        "Entry (i, j) is the integral over [0, T] of phi_j phi_i, assembled over the nodes\n"
        "that neighbouring intervals share. 1 <= degree <= 100, n_t >= 1, T positive and\n"
        "finite.">(),
    LagrangeDerivativeMatrix::def<
        "The derivative matrix of the continuous Lagrange basis on the uniform mesh of\n"
        "[0, T], as a scipy.sparse.csr_array in the Lagrange DOF order (k * degree + i).\n\n"
        "Entry (i, j) is the integral over [0, T] of phi_j' phi_i (independent of T),\n"
        "assembled over the shared nodes. 1 <= degree <= 100, n_t >= 1, T positive and\n"
        "finite.">(),
};

}  // namespace

std::span<PyMethodDef> time_matrix_functions() { return definitions; }

}  // namespace quorvel::python
