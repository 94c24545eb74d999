"""solve_dg and solve_cg: Galerkin time stepping against the all-at-once space-time systems (built from the
time matrices), exact solutions for the convergence orders, and scipy.integrate.quad for the loads."""

import math

import numpy as np
import pytest
import scipy.integrate
import scipy.linalg
import scipy.sparse as sp
import scipy.sparse.linalg as sla
import skfem
from numpy.polynomial import legendre
from skfem.helpers import dot, grad

import quorvel


def finite_element_matrices() -> tuple[sp.csr_array, sp.csr_array]:
    """P1 mass and stiffness on a triangulated unit square (natural boundary: the stiffness is singular)."""
    basis = skfem.Basis(skfem.MeshTri().refined(4), skfem.ElementTriP1())

    @skfem.BilinearForm
    def stiffness(u, v, w):
        return dot(grad(u), grad(v))

    @skfem.BilinearForm
    def mass(u, v, w):
        return u * v

    return sp.csr_array(mass.assemble(basis)), sp.csr_array(stiffness.assemble(basis))


FE_MASS, FE_STIFFNESS = finite_element_matrices()
N_FE = FE_STIFFNESS.shape[0]
RNG = np.random.default_rng(7)
U0 = RNG.standard_normal(N_FE)
W1, W2 = RNG.standard_normal(N_FE), RNG.standard_normal(N_FE)


def g(t: np.ndarray, degree: int) -> np.ndarray:
    """A polynomial in time of the given degree, so that the solvers' Gauss rule is exact."""
    return sum((0.7 - 0.3 * k) * t**k for k in range(degree + 1))


def piecewise_coefficients(p: int, n_f: int, T: float) -> tuple[np.ndarray, np.ndarray, quorvel.LegendreExpansion]:
    """f = a(t) W1 + b(t) W2 with a, b piecewise Legendre of degree p on n_f intervals of [0, T]."""
    a, b = RNG.standard_normal((p + 1, n_f)), RNG.standard_normal((p + 1, n_f))
    return a, b, quorvel.LegendreExpansion(a[:, :, None] * W1 + b[:, :, None] * W2, T)


def scalar_loads(function, tests: int, n_t: int, T: float, breaks: np.ndarray) -> np.ndarray:
    """int_c function(t) P_i dt by adaptive quadrature, split at the given break points."""
    h = T / n_t
    loads = np.zeros((tests, n_t))
    for c in range(n_t):
        a, b = h * c, h + h * c
        inside = [x for x in breaks if a < x < b]
        for i in range(tests):
            basis = legendre.Legendre.basis(i, domain=[a, b])
            loads[i, c] = scipy.integrate.quad(
                lambda t: function(t) * basis(t), a, b, points=inside or None, epsabs=1e-15, epsrel=1e-14, limit=200
            )[0]
    return loads


def evaluate_piecewise(coefficients: np.ndarray, T: float, t: float) -> float:
    n_f = coefficients.shape[1]
    k = min(int(t / (T / n_f)), n_f - 1)
    return float(legendre.legval(2 * (t - k * T / n_f) / (T / n_f) - 1, coefficients[:, k]))


def all_at_once(
    scheme: str, degree: int, n_t: int, T: float, M: sp.csr_array | None, loads: np.ndarray | None
) -> np.ndarray:
    """Every interval in one sparse solve, from the library's time matrices (dG) or the Lagrange cG matrices."""
    n = N_FE
    mass = sp.eye_array(n) if M is None else M
    if scheme == "dg":
        B = quorvel.legendre_dg_time_matrix(degree, n_t, T)
        time_mass = quorvel.legendre_mass_matrix(degree, n_t, T)
        system = sp.csc_array(sp.kron(B, mass) + sp.kron(time_mass, FE_STIFFNESS))
        rhs = np.zeros(((degree + 1) * n_t, n))
        rhs[np.arange(degree + 1) * n_t] = np.outer((-1.0) ** np.arange(degree + 1), mass @ U0)
        if loads is not None:
            rhs += loads.reshape(-1, n)
        return sla.spsolve(system, rhs.ravel()).reshape(degree + 1, n_t, n)
    D, time_mass = quorvel.lagrange_cg_time_matrices(degree, n_t, T)
    system = sp.csc_array(sp.kron(D, mass) + sp.kron(time_mass, FE_STIFFNESS))
    rhs = -(system[:, :n] @ U0)
    if loads is not None:
        rhs += loads.ravel()
    nodal = np.concatenate([U0, sla.spsolve(sp.csc_array(system[:, n:]), rhs)]).reshape(-1, n)
    return (quorvel.lagrange_to_legendre_csr(degree, n_t) @ nodal).reshape(degree + 1, n_t, n)


@pytest.mark.parametrize("scheme,degree", [("dg", 0), ("dg", 1), ("dg", 3), ("cg", 1), ("cg", 2), ("cg", 3)])
@pytest.mark.parametrize("with_mass", [False, True], ids=["M=I", "M=FE"])
@pytest.mark.parametrize("load", [None, "callable", "same mesh", "other mesh"])
def test_marching_equals_the_all_at_once_system(scheme: str, degree: int, with_mass: bool, load: str | None) -> None:
    n_t, T = 4, 0.05
    tests = degree + 1 if scheme == "dg" else degree
    M = FE_MASS if with_mass else None
    f, loads = None, None
    if load == "callable":
        p = degree + 1 if scheme == "dg" else degree + 2  # the highest degree the Gauss rule integrates exactly
        f = lambda t: np.outer(g(t, p), W1)  # noqa: E731
        loads = scalar_loads(lambda t: g(t, p), tests, n_t, T, np.array([]))[:, :, None] * W1
    elif load is not None:
        n_f = n_t if load == "same mesh" else 3
        a, b, f = piecewise_coefficients(2, n_f, T)
        breaks = np.linspace(0, T, n_f + 1)
        loads = (
            scalar_loads(lambda t: evaluate_piecewise(a, T, t), tests, n_t, T, breaks)[:, :, None] * W1
            + scalar_loads(lambda t: evaluate_piecewise(b, T, t), tests, n_t, T, breaks)[:, :, None] * W2
        )
    expected = all_at_once(scheme, degree, n_t, T, M, loads)
    solve = quorvel.solve_dg if scheme == "dg" else quorvel.solve_cg
    computed = solve(M, FE_STIFFNESS, U0, degree=degree, n_t=n_t, T=T, f=f)
    assert type(computed) is quorvel.LegendreExpansion and computed.coefficients.shape == (degree + 1, n_t, N_FE)
    error = np.abs(computed.coefficients - expected).max() / np.abs(expected).max()
    assert error < 1e-10, error


def test_high_degrees_keep_rounding_small() -> None:
    """At degree 10 the eigenvectors of the time block have condition number 1.6e5; the Schur form keeps the
    rounding of the decoupled solves at the level of the all-at-once solve."""
    expected = all_at_once("dg", 10, 2, 0.05, FE_MASS, None)
    computed = quorvel.solve_dg(FE_MASS, FE_STIFFNESS, U0, degree=10, n_t=2, T=0.05).coefficients
    assert np.abs(computed - expected).max() / np.abs(expected).max() < 1e-13


# -------------------------------------------------------------- convergence


def oscillator() -> tuple[np.ndarray, np.ndarray]:
    """m x'' + c x' + k x = 0 as M u' + A u = 0 with u = (x, x'): M = diag(1, m), A = [[0, -1], [k, c]]."""
    m, c, k = 2.0, 0.6, 18.0
    return np.diag([1.0, m]), np.array([[0.0, -1.0], [k, c]])


def exact_oscillator(t: np.ndarray, u0: np.ndarray) -> np.ndarray:
    M, A = oscillator()
    generator = -np.linalg.solve(M, A)
    return np.array([scipy.linalg.expm(generator * s) @ u0 for s in np.atleast_1d(t)])


def forced_exact(t: np.ndarray) -> np.ndarray:
    """Manufactured solution of u' = -u + f (one component)."""
    return (np.sin(3 * t) * np.exp(-t / 3) + t)[:, None]


def forced_load(t: np.ndarray) -> np.ndarray:
    u = forced_exact(t)[:, 0]
    du = 3 * np.cos(3 * t) * np.exp(-t / 3) - np.sin(3 * t) * np.exp(-t / 3) / 3 + 1
    return (du + u)[:, None]


PROBLEMS = {
    "u' = -2u": (None, np.array([[2.0]]), np.array([1.0]), None, lambda t: np.exp(-2 * t)[:, None]),
    "oscillator": (*oscillator(), np.array([1.0, 0.0]), None, lambda t: exact_oscillator(t, np.array([1.0, 0.0]))),
    "forced u' = -u + f": (None, np.array([[1.0]]), np.array([0.0]), forced_load, forced_exact),
}


def errors(scheme: str, problem: str, degree: int, n_t: int, T: float = 2.0) -> tuple[float, float]:
    """(max error at the mesh points, max error over 40 points per interval) of the scheme's solution."""
    M, A, u0, f, exact = PROBLEMS[problem]
    solve = quorvel.solve_dg if scheme == "dg" else quorvel.solve_cg
    coefficients = solve(M, A, u0, degree=degree, n_t=n_t, T=T, f=f).coefficients
    h = T / n_t
    nodal = np.abs(coefficients.sum(axis=0) - exact(h * np.arange(1, n_t + 1))).max()
    x = np.linspace(-1, 1, 40)
    dense = 0.0
    for c in range(n_t):
        values = legendre.legval(x, coefficients[:, c, :])  # shape (n, 40)
        dense = max(dense, np.abs(values.T - exact(h * c + h * (1 + x) / 2)).max())
    return float(nodal), float(dense)


MESHES = (4, 8, 16, 32, 64)
CASES = [("dg", q) for q in range(4)] + [("cg", q) for q in range(1, 4)]


def observed_orders(
    scheme: str, problem: str, degree: int
) -> tuple[list[float], list[float], list[tuple[float, float]]]:
    errs = [errors(scheme, problem, degree, n_t) for n_t in MESHES]
    nodal = [math.log2(errs[k - 1][0] / errs[k][0]) for k in range(1, len(MESHES)) if errs[k][0] > 1e-11]
    dense = [math.log2(errs[k - 1][1] / errs[k][1]) for k in range(1, len(MESHES)) if errs[k][1] > 1e-11]
    return nodal, dense, errs


@pytest.mark.parametrize("problem", list(PROBLEMS))
@pytest.mark.parametrize("scheme,degree", CASES)
def test_convergence_orders(scheme: str, degree: int, problem: str) -> None:
    nodal, dense, _ = observed_orders(scheme, problem, degree)
    expected_nodal = 2 * degree + 1 if scheme == "dg" else 2 * degree
    assert nodal and abs(nodal[-1] - expected_nodal) < 0.35, nodal
    assert abs(dense[-1] - (degree + 1)) < 0.35, dense


# ---------------------------------------------------------------- bad input


def laplacian_1d(n: int) -> sp.csr_array:
    e = sp.eye_array(n, k=1)
    return sp.csr_array((2 * sp.eye_array(n) - e - e.T) * (n + 1) ** 2)


A4, U4 = laplacian_1d(4), np.ones(4)


def neumann_2d(m: int) -> sp.csr_array:
    one = laplacian_1d(m).tolil()
    one[0, 0] = one[-1, -1] = (m + 1) ** 2
    return sp.csr_array(sp.kronsum(one, one))


def identity_solve(K):
    return lambda b: b


BAD = [
    # (arguments changed, exception, message)
    (dict(A=np.ones((3, 4))), ValueError, "A must be square, got shape (3, 4)"),
    (dict(A=np.ones(4)), ValueError, "A must be a 2-D matrix, got shape (4,)"),
    (dict(A=A4 * 1j), TypeError, "A must be real, got complex128"),
    (dict(A=np.array([["a"] * 4] * 4)), TypeError, "A must be a matrix of numbers, got dtype <U1"),
    (dict(A=sp.csr_array(np.diag([1.0, np.inf, 1.0, 1.0]))), ValueError, "A has non-finite entries"),
    (dict(M=np.eye(3)), ValueError, "M must have the shape of A, (4, 4), got (3, 3)"),
    (dict(M=sp.diags_array([1.0, np.nan, 1.0, 1.0])), ValueError, "M has non-finite entries"),
    (dict(u0=np.ones(3)), ValueError, "u0 must have shape (n,) = (4,), got (3,)"),
    (dict(u0=[1.0, 1.0, np.nan, 1.0]), ValueError, "u0 has non-finite entries (first at index 2)"),
    (dict(degree=1.0), TypeError, "degree must be an int, got float"),
    (dict(degree=-1), ValueError, "degree must be at least 0, got -1"),
    (dict(n_t=0), ValueError, "n_t must be at least 1, got 0"),
    (dict(T=float("nan")), ValueError, "T must be positive and finite, got nan"),
    (dict(T="1"), TypeError, "T must be a real number, got str"),
    (
        dict(T=5e-324),
        ValueError,
        "T must give a normal interval length h = T / n_t (at least 2.2250738585072014e-308), got 5e-324 with n_t = 4",
    ),
    (dict(f=lambda t: np.ones((t.size, 3))), ValueError, "f must return shape (len(t), n) = (8, 4), got (8, 3)"),
    (
        dict(f=lambda t: np.where(t[:, None] > 0.5, np.nan, 1.0) * np.ones(4)),
        ValueError,
        "f returned non-finite values at t = 0.5528312163512967",
    ),
    (
        dict(f=quorvel.LegendreExpansion(np.ones((2, 3, 3)), 1.0)),
        ValueError,
        "f must have trailing shape (n,) = (4,), got (3,)",
    ),
    (
        dict(f=quorvel.LegendreExpansion(np.ones((2, 3, 4)), 2.0)),
        ValueError,
        "f must be defined on [0, T] with T = 1.0, got T = 2.0",
    ),
    (dict(f=np.ones((2, 3, 4))), TypeError, "f must be None, a LegendreExpansion or a callable, got ndarray"),
    (dict(degree=101), ValueError, "degree must be at most 100, got 101"),
    (dict(factorize=3), TypeError, "factorize must be callable, got int"),
    (dict(factorize=lambda K: None), TypeError, "factorize must return a callable solve function, got NoneType"),
    (
        dict(factorize=lambda K: 1 / 0),
        ValueError,
        "factorize failed on the 4 x 4 complex matrix A + (8+5.65685j) * I: ZeroDivisionError: division by zero",
    ),
    (
        dict(factorize=lambda K: lambda b: b[:2]),
        ValueError,
        "the solve function returned by factorize must return shape (4,) for the 4 x 4 complex matrix "
        "A + (8+5.65685j) * I, got (2,)",
    ),
    (
        dict(factorize=lambda K: lambda b: np.zeros(b.shape)),
        ValueError,
        "the solve function returned by factorize must return complex floats for the 4 x 4 complex matrix "
        "A + (8+5.65685j) * I, got float64",
    ),
    (
        dict(factorize=identity_solve),
        ValueError,
        "factorize returned a solve function that does not solve the 4 x 4 complex matrix A + (8+5.65685j) * I: "
        "backward error 7.6e-01",
    ),
    (
        dict(A=-100 * sp.eye_array(4), T=10.0, n_t=1000),
        OverflowError,
        "the solution overflows on interval 718 (t in [7.18, 7.1899999999999995]): it grows beyond float64",
    ),
    # Singular: M = 0 and A singular, exactly (SuperLU's zero pivot) and to working precision.
    (
        dict(M=sp.csr_array((4, 4)), A=sp.diags_array([1.0, 1.0, 0.0, 1.0])),
        np.linalg.LinAlgError,
        "M and A give a singular system: the 4 x 4 complex matrix A + (8+5.65685j) * M is singular "
        "(Factor is exactly singular)",
    ),
    (dict(M=sp.csr_array((64, 64)), A=neumann_2d(8), u0=np.ones(64)), np.linalg.LinAlgError, None),
    (
        dict(M=np.zeros((4, 4)), A=sp.diags_array([1.0, 1.0, 0.0, 1.0]), factorize=sla.factorized),
        np.linalg.LinAlgError,
        None,
    ),
]


@pytest.mark.parametrize("changes,exception,message", BAD)
def test_bad_input_is_refused_naming_the_argument(changes: dict, exception: type, message: str | None) -> None:
    arguments = dict(M=None, A=A4, u0=U4, degree=1, n_t=4, T=1.0)
    arguments.update(changes)
    with pytest.raises(exception) as caught:
        quorvel.solve_dg(**arguments)
    if message is not None:
        assert str(caught.value) == message


def test_cg_degree_zero_is_refused_and_the_arguments_are_keywords() -> None:
    with pytest.raises(ValueError, match=r"^degree must be at least 1, got 0$"):
        quorvel.solve_cg(None, A4, U4, degree=0, n_t=2, T=1.0)
    with pytest.raises(TypeError, match=r"^solve_dg\(\) takes 3 positional arguments but 4 were given$"):
        quorvel.solve_dg(None, A4, U4, 1, n_t=2, T=1.0)
    with pytest.raises(TypeError, match=r"^solve_cg\(\) missing 2 required keyword-only arguments: 'n_t' and 'T'$"):
        quorvel.solve_cg(None, A4, U4, degree=1)
