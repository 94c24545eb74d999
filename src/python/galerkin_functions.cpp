// The Galerkin time-stepping functions: their arguments converted and named
// here, their work done by the Python source the module carries
// (carried_source.hpp). solve_dg and solve_cg return a LegendreExpansion.

#include <cstdint>
#include <string>

#include "callables.hpp"
#include "carried_source.hpp"
#include "module_contents.hpp"
#include "sparse_results.hpp"

namespace quorvel::python {

namespace {

constexpr std::int64_t u32_max = 4294967295;
constexpr std::int64_t degree_limit = 100;  // as the Lagrange time matrices

using IntervalCount = Bounded<1, u32_max>;

// fn(arguments...) of the carried source, the Python objects made of the converted values.
template <class... Arguments>
PyObject* call_carried(const char* name, Arguments... arguments) {
  Ref tuple = Ref::checked(Py_BuildValue(arguments...));
  return check(PyObject_Call(carried_function(name), tuple.get(), nullptr));
}

PyObject* given(const Option<Object>& option) { return option.given ? option.given->ptr : Py_None; }

template <const char* Name>
PyObject* solve(Object M, Object A, Object u0, std::int64_t degree, IntervalCount n_t, Length T,
                const Option<Object>& f, const Option<Object>& factorize) {
  refuse_unrepresentable_mesh(T, static_cast<std::uint32_t>(n_t.value));
  return call_carried(Name, "(OOOLLdOO)", M.ptr, A.ptr, u0.ptr, static_cast<long long>(degree),
                      static_cast<long long>(n_t.value), T.value, given(f), given(factorize));
}

constexpr char solve_dg_name[] = "solve_dg";
constexpr char solve_cg_name[] = "solve_cg";

using SolveDg =
    Function<"solve_dg", Messages::named,
             [](Object M, Object A, Object u0, Bounded<0, degree_limit> degree, IntervalCount n_t,
                Length T, Option<Object> f, Option<Object> factorize) {
               return solve<solve_dg_name>(M, A, u0, degree.value, n_t, T, f, factorize);
             },
             "M", "A", "u0", "*", "degree", "n_t", "T", "f=None", "factorize=None">;

using SolveCg =
    Function<"solve_cg", Messages::named,
             [](Object M, Object A, Object u0, Bounded<1, degree_limit> degree, IntervalCount n_t,
                Length T, Option<Object> f, Option<Object> factorize) {
               return solve<solve_cg_name>(M, A, u0, degree.value, n_t, T, f, factorize);
             },
             "M", "A", "u0", "*", "degree", "n_t", "T", "f=None", "factorize=None">;

using DgLocalMatrices = Function<"legendre_dg_local_matrices", Messages::named,
                                 [](Bounded<0, degree_limit> degree) {
                                   return call_carried("legendre_dg_local_matrices", "(L)",
                                                       static_cast<long long>(degree.value));
                                 },
                                 "degree">;

using CgTimeMatrices =
    Function<"lagrange_cg_time_matrices", Messages::named,
             [](Bounded<1, degree_limit> degree, IntervalCount n_t, Length T) {
               // The n_t degree + 1 Lagrange DOFs are counted in 32 bits, as the Lagrange
               // matrices'.
               refuse_unless_fits("n_t", n_t.value, 1, " at degree " + std::to_string(degree.value),
                                  [&](std::int64_t n) { return n * degree.value <= u32_max; });
               refuse_unrepresentable_mesh(T, static_cast<std::uint32_t>(n_t.value));
               return call_carried("lagrange_cg_time_matrices", "(LLd)",
                                   static_cast<long long>(degree.value),
                                   static_cast<long long>(n_t.value), T.value);
             },
             "degree", "n_t", "T">;

PyMethodDef definitions[] = {
    SolveDg::def<
        "The upwind discontinuous Galerkin solution dG(degree) of M u'(t) + A u(t) = f(t),\n"
        "u(0) = u0, on the uniform mesh of [0, T] with n_t intervals, as a LegendreExpansion\n"
        "of trailing shape (n,).\n\n"
        "M, A: n x n real matrices, constant in time (scipy.sparse arrays or matrices, or dense\n"
        "2-D arrays; M=None is the identity). u0: shape (n,). f: None, a LegendreExpansion of\n"
        "trailing shape (n,) on [0, T] (integrated exactly), or a callable taking a 1-D float64\n"
        "array of times and returning shape (len(t), n), integrated against the test functions\n"
        "by the Gauss rule of degree + 1 points of quadrature() on every interval (exact for an\n"
        "f of degree degree + 1). Its left limits at the mesh points are the method's nodal\n"
        "values, of order 2 degree + 1; result(T, side='left') is the final value.\n\n"
        "Interval by interval, with the spatial systems factorised once: the real Schur form\n"
        "of the small time matrix turns the (degree + 1) n block into ceil((degree + 1) / 2)\n"
        "shifted systems (2 lambda / h) M + A, complex for a pair of complex eigenvalues.\n"
        "factorize: a callable that takes such a square sparse matrix (CSC, real or complex)\n"
        "and returns a function solving with it, as scipy.sparse.linalg.factorized (default:\n"
        "SciPy's SuperLU). A singular system raises numpy.linalg.LinAlgError. degree: 0 ...\n"
        "100.">(),
    SolveCg::def<
        "The continuous Petrov-Galerkin solution cG(degree) of M u'(t) + A u(t) = f(t),\n"
        "u(0) = u0: continuous trial functions of degree `degree` >= 1, discontinuous test\n"
        "functions of degree degree - 1, as a LegendreExpansion of trailing shape (n,).\n\n"
        "The result is continuous (both sides agree at the mesh points to rounding); its values\n"
        "at the mesh points converge like h^(2 degree). Arguments as solve_dg (a callable f is\n"
        "integrated with the same degree + 1 Gauss points, exact for f of degree degree + 2\n"
        "against the test functions); the time block of degree unknowns is decoupled likewise.\n"
        "degree: 1 ... 100.">(),
    DgLocalMatrices::def<
        "(D, C, M): the dense (degree + 1) x (degree + 1) reference blocks of the upwind dG\n"
        "matrix on the reference interval [-1, 1] of the Legendre basis.\n\n"
        "D[i, j] = integral of P_j' P_i + P_j(-1) P_i(-1) = 1 for j >= i and (-1)^(i + j) for\n"
        "j < i (the diagonal block); C[i, j] = -P_j(1) P_i(-1) = -(-1)^i (the coupling to the\n"
        "previous interval); M = diag(2 / (2i + 1)) (the physical mass is h / 2 M).\n"
        "legendre_dg_time_matrix(degree, n_t, T) is kron(D, I) + kron(C, I shifted by one\n"
        "interval), bit for bit. degree: 0 ... 100.">(),
    CgTimeMatrices::def<
        "(D, M): the time matrices of cG(degree), two scipy.sparse.csr_arrays of shape\n"
        "(n_t * degree, n_t * degree + 1), correctly rounded.\n\n"
        "Row c + n_t * i tests with the Legendre polynomial P_i (i < degree) of interval c, as\n"
        "the Legendre DOF layout; column k * degree + j tries with the continuous Lagrange\n"
        "function of node j of interval k, as get_lagrange_points orders them. D: the integrals\n"
        "of phi_j' psi_i (independent of T); M: of phi_j psi_i. Every coupling of an interval is\n"
        "stored, zeros included. degree: 1 ... 100.">(),
};

}  // namespace

std::span<PyMethodDef> galerkin_functions() { return definitions; }

}  // namespace quorvel::python
