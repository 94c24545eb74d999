"""legendre_mass_matrix, legendre_dg_time_matrix, lagrange_mass_matrix and lagrange_derivative_matrix."""

import math
import sys
from fractions import Fraction

import mpmath
import numpy as np
import pytest
import scipy.sparse
from conftest import legendre_coefficients

import quorvel


def poly_mul(a, b):
    out = [Fraction(0)] * (len(a) + len(b) - 1)
    for i, x in enumerate(a):
        for j, y in enumerate(b):
            out[i + j] += x * y
    return out


def poly_derivative(a):
    return [i * c for i, c in enumerate(a)][1:] or [Fraction(0)]


def integral_over_reference(a):
    """The exact integral over [-1, 1] of the polynomial with monomial coefficients a."""
    return sum((c * 2 / (i + 1) for i, c in enumerate(a) if i % 2 == 0), Fraction(0))


def lagrange_coefficients(degree, i):
    nodes = [Fraction(-1) + Fraction(2 * m, degree) for m in range(degree + 1)]
    poly = [Fraction(1)]
    for m, x in enumerate(nodes):
        if m != i:
            poly = poly_mul(poly, [-x / (nodes[i] - x), 1 / (nodes[i] - x)])
    return poly


def dense(matrix):
    return matrix.toarray().tolist()


def csr_checks(matrix, shape):
    assert matrix.shape == shape and matrix.has_canonical_format
    assert matrix.indices.dtype == np.int32 and matrix.indptr.dtype == np.int32
    assert not matrix.data.flags.owndata  # views of the arrays quorvel wrote


@pytest.mark.parametrize(("degree", "n_t"), [(0, 1), (0, 4), (1, 3), (3, 2), (5, 4)])
def test_legendre_matrices_are_the_exact_integrals(degree, n_t):
    T = 3.0 * n_t  # h = 3, exact
    size = n_t * (degree + 1)
    mass = quorvel.legendre_mass_matrix(degree, n_t, T)
    dg = quorvel.legendre_dg_time_matrix(degree, n_t, T)
    csr_checks(mass, (size, size))
    csr_checks(dg, (size, size))
    assert mass.nnz == size and dg.nnz == (2 * n_t - 1) * (degree + 1) ** 2
    P = [legendre_coefficients(k) for k in range(degree + 1)]
    at_minus_one = [Fraction((-1) ** k) for k in range(degree + 1)]
    expected_mass = [[0.0] * size for _ in range(size)]
    expected_dg = [[0.0] * size for _ in range(size)]
    for c in range(n_t):
        for i in range(degree + 1):
            r = c + n_t * i
            expected_mass[r][r] = float(Fraction(3, 2) * integral_over_reference(poly_mul(P[i], P[i])))
            for j in range(degree + 1):
                inner = integral_over_reference(poly_mul(poly_derivative(P[j]), P[i]))
                expected_dg[r][c + n_t * j] = float(inner + at_minus_one[j] * at_minus_one[i])
                if c >= 1:  # phi_j at the right end of interval c - 1 is P_j(1) = 1
                    expected_dg[r][c - 1 + n_t * j] = float(-1 * at_minus_one[i])
    assert dense(mass) == expected_mass
    assert dense(dg) == expected_dg


@pytest.mark.parametrize("degree", [1, 2, 3, 4])
@pytest.mark.parametrize("n_t", [1, 3])
def test_lagrange_matrices_are_the_exact_integrals(degree, n_t):
    T = 2.0 * n_t  # h / 2 = 1: the element integrals themselves
    size = n_t * degree + 1
    L = [lagrange_coefficients(degree, i) for i in range(degree + 1)]
    expected_mass = [[Fraction(0)] * size for _ in range(size)]
    expected_derivative = [[Fraction(0)] * size for _ in range(size)]
    for e in range(n_t):
        for i in range(degree + 1):
            for j in range(degree + 1):
                r, s = e * degree + i, e * degree + j
                expected_mass[r][s] += integral_over_reference(poly_mul(L[i], L[j]))
                expected_derivative[r][s] += integral_over_reference(poly_mul(poly_derivative(L[j]), L[i]))
    mass = quorvel.lagrange_mass_matrix(degree, n_t, T)
    derivative = quorvel.lagrange_derivative_matrix(degree, n_t, T)
    for matrix, expected in [(mass, expected_mass), (derivative, expected_derivative)]:
        csr_checks(matrix, (size, size))
        assert matrix.nnz == n_t * (degree + 1) ** 2 - (n_t - 1)  # every coupling stored, zeros too
        assert dense(matrix) == [[float(v) for v in row] for row in expected]


@pytest.mark.parametrize("degree", [5, 7, 10])
def test_high_degree_lagrange_matrices_reproduce_integrals_of_polynomials(degree):
    n_t, T = 3, 2.5
    nodes = np.array(quorvel.get_lagrange_points(degree, n_t, T))
    rng = np.random.default_rng(degree)
    f, g = (np.polynomial.Polynomial(rng.uniform(-1, 1, degree + 1)) for _ in range(2))
    u, v = f(nodes), g(nodes)  # interpolation of degree-d polynomials is exact
    x, w = np.polynomial.legendre.leggauss(2 * degree + 2)
    t, weights = T / 2 * (x + 1), T / 2 * w
    mass = quorvel.lagrange_mass_matrix(degree, n_t, T)
    derivative = quorvel.lagrange_derivative_matrix(degree, n_t, T)
    assert v @ (mass @ u) == pytest.approx(weights @ (f(t) * g(t)), rel=1e-11, abs=1e-11)
    assert v @ (derivative @ u) == pytest.approx(weights @ (f.deriv()(t) * g(t)), rel=1e-11, abs=1e-11)


def test_legendre_matrices_reproduce_integrals_of_piecewise_polynomials():
    degree, n_t, T = 4, 5, 2.0
    rng = np.random.default_rng(3)
    a, b = rng.uniform(-1, 1, (2, n_t * (degree + 1)))
    ev_a, ev_b = quorvel.LegendreBasisEvaluator(degree, n_t, T), quorvel.LegendreBasisEvaluator(degree, n_t, T)
    ev_a.set_dofs(a.tolist())
    ev_b.set_dofs(b.tolist())
    x, w = np.polynomial.legendre.leggauss(degree + 2)
    h = T / n_t
    t = np.concatenate([c * h + h / 2 * (x + 1) for c in range(n_t)])
    weights = np.tile(h / 2 * w, n_t)
    mass = quorvel.legendre_mass_matrix(degree, n_t, T)
    assert b @ (mass @ a) == pytest.approx(weights @ (ev_a.evaluate(t) * ev_b.evaluate(t)), rel=1e-12)
    # The upwind matrix: the integrals of a' b on each interval plus the jumps of a
    # at the interval's left end (from 0 at t = 0), times b there.
    dg = quorvel.legendre_dg_time_matrix(degree, n_t, T)
    left = np.arange(n_t) * h
    jumps = ev_a.evaluate(left) - np.concatenate([[0.0], ev_a.evaluate(left[1:] - 1e-300 - h * 1e-15)])
    expected = weights @ (ev_a.evaluate(t, derivative=1) * ev_b.evaluate(t)) + jumps @ ev_b.evaluate(left)
    assert b @ (dg @ a) == pytest.approx(expected, rel=1e-9)


SUBNORMAL_STEP = (
    "T must give a normal interval length h = T / n_t (at least 2.2250738585072014e-308), got {} with n_t = {}"
)
ENDS_SUM = "T must leave the sum a + b of the last interval's ends a = h * (n_t - 1) and b = h + a finite, got {} with n_t = {}"
LAST_END = "T must leave the mesh's last end h + h * (n_t - 1) finite, got {} with n_t = {}"


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda: quorvel.legendre_mass_matrix(1, 0, 1.0), ValueError, "n_t must be at least 1, got 0"),
        (lambda: quorvel.legendre_dg_time_matrix(-1, 2, 1.0), ValueError, "degree must be at least 0, got -1"),
        (lambda: quorvel.legendre_mass_matrix(1, 2, 0.0), ValueError, "T must be positive and finite, got 0.0"),
        (lambda: quorvel.legendre_dg_time_matrix(1, 2, math.nan), ValueError, "T must be positive and finite, got nan"),
        (lambda: quorvel.lagrange_mass_matrix(0, 2, 1.0), ValueError, "degree must be at least 1, got 0"),
        (lambda: quorvel.lagrange_derivative_matrix(101, 2, 1.0), ValueError, "degree must be at most 100, got 101"),
        (lambda: quorvel.lagrange_mass_matrix(2, 2, -math.inf), ValueError, "T must be positive and finite, got -inf"),
        (lambda: quorvel.lagrange_mass_matrix(2.0, 2, 1.0), TypeError, "degree must be an int, got float"),
        (lambda: quorvel.legendre_mass_matrix(1, 2, "1"), TypeError, "T must be a real number, got str"),
        (
            lambda: quorvel.lagrange_derivative_matrix(4, 2**31, 1.0),
            ValueError,
            "n_t must be at most 1073741823 at degree 4, got 2147483648",
        ),
        (lambda: quorvel.legendre_dg_time_matrix(4294967294, 10, 1.0), ValueError, "degree must be at most "),
        # T whose mesh cannot be formed in doubles, and ints beyond them: ValueError naming T.
        (lambda: quorvel.legendre_mass_matrix(1, 2, 5e-324), ValueError, SUBNORMAL_STEP.format("5e-324", 2)),
        (lambda: quorvel.legendre_dg_time_matrix(1, 2, 1.5e308), ValueError, ENDS_SUM.format("1.5e+308", 2)),
        (
            lambda: quorvel.lagrange_derivative_matrix(1, 3, np.float64(1.7e308)),
            ValueError,
            ENDS_SUM.format("np.float64(1.7e+308)", 3),
        ),
        (
            lambda: quorvel.legendre_mass_matrix(1, 3, sys.float_info.max),
            ValueError,
            LAST_END.format("1.7976931348623157e+308", 3),
        ),
        (
            lambda: quorvel.lagrange_mass_matrix(1, 2, 10**400),
            ValueError,
            "T must be within the range of float64, got 1" + "0" * 400,
        ),
        (
            lambda: quorvel.legendre_mass_matrix(1, 2, 10**5000),
            ValueError,
            "T must be within the range of float64, got an int of 16610 bits",
        ),
    ],
)
def test_time_matrix_refusals(call, exc, message):
    with pytest.raises(exc) as error:
        call()
    assert str(error.value) == message or (message.endswith(" ") and str(error.value).startswith(message))


# ---------------------------------------------------------------- the Galerkin bricks


@pytest.mark.parametrize("degree", range(7))
@pytest.mark.parametrize("n_t", [1, 2, 5])
def test_dg_local_matrices_build_the_dg_time_matrix_bit_for_bit(degree, n_t):
    D, C, M = quorvel.legendre_dg_local_matrices(degree)
    assert D.shape == C.shape == M.shape == (degree + 1, degree + 1)
    built = scipy.sparse.csr_array(np.kron(D, np.eye(n_t)) + np.kron(C, np.eye(n_t, k=-1)))
    library = quorvel.legendre_dg_time_matrix(degree, n_t, 2.5)
    assert built.indptr.tolist() == library.indptr.tolist() and built.indices.tolist() == library.indices.tolist()
    assert built.data.tobytes() == library.data.tobytes()
    np.testing.assert_allclose((2.5 / n_t / 2) * np.kron(M, np.eye(n_t)), library_mass(degree, n_t), rtol=2e-16)


def library_mass(degree, n_t):
    return quorvel.legendre_mass_matrix(degree, n_t, 2.5).toarray()


@pytest.mark.parametrize("degree", [1, 2, 5, 8])
def test_cg_time_matrices_against_the_change_of_basis(degree):
    # int phi_j psi_i = h / (2i + 1) (the Legendre coefficient i of phi_j); int phi_j' psi_i
    # = 2 times the sum of coefficients k > i with k + i odd.
    n_t, T = 3, 1.7
    D, M = quorvel.lagrange_cg_time_matrices(degree, n_t, T)
    assert D.shape == M.shape == (n_t * degree, n_t * degree + 1)
    assert M.nnz == n_t * degree * (degree + 1) and M.has_canonical_format  # zeros stored
    to_legendre = quorvel.lagrange_to_legendre_csr(degree, n_t).toarray()
    rows = np.arange(n_t * degree)
    test = rows // n_t
    mass = to_legendre[rows] * (T / n_t / (2 * test + 1))[:, None]
    derivative = np.zeros_like(mass)
    for r in rows:
        for k in range(test[r] + 1, degree + 1, 2):
            derivative[r] += 2 * to_legendre[r % n_t + n_t * k]
    np.testing.assert_allclose(M.toarray(), mass, rtol=0, atol=2e-15 * np.abs(mass).max())
    np.testing.assert_allclose(D.toarray(), derivative, rtol=0, atol=2e-15 * np.abs(derivative).max())


@pytest.mark.parametrize("degree", [1, 4, pytest.param(9, marks=pytest.mark.long)])
def test_cg_time_matrices_are_correctly_rounded(degree):
    """Against 40-digit quadrature of the Lagrange and Legendre polynomials, rounded once (h = 2, so
    the mass entries are the reference integrals themselves)."""
    mpmath.mp.dps = 40
    nodes = [mpmath.mpf(-1) + mpmath.mpf(2 * j) / degree for j in range(degree + 1)]

    def lagrange(j, x):
        return mpmath.fprod((x - nodes[k]) / (nodes[j] - nodes[k]) for k in range(degree + 1) if k != j)

    D, M = (matrix.toarray() for matrix in quorvel.lagrange_cg_time_matrices(degree, 1, 2.0))
    for i in range(degree):
        for j in range(degree + 1):
            mass = mpmath.quad(lambda x: lagrange(j, x) * mpmath.legendre(i, x), nodes)
            slope = mpmath.quad(lambda x: mpmath.diff(lambda y: lagrange(j, y), x) * mpmath.legendre(i, x), nodes)
            rounded = [float(v) if abs(v) > 1e-30 else 0.0 for v in (mass, slope)]  # quadrature noise at 0
            assert [M[i, j], D[i, j]] == rounded, (i, j)
    if degree == 1:
        assert D.tolist() == [[-1.0, 1.0]] and M.tolist() == [[1.0, 1.0]]


def test_galerkin_bricks_refuse_what_they_cannot_build():
    for call, message in [
        (lambda: quorvel.legendre_dg_local_matrices(-1), "degree must be at least 0, got -1"),
        (lambda: quorvel.lagrange_cg_time_matrices(0, 2, 1.0), "degree must be at least 1, got 0"),
        (lambda: quorvel.lagrange_cg_time_matrices(101, 2, 1.0), "degree must be at most 100, got 101"),
        (lambda: quorvel.lagrange_cg_time_matrices(2, 2, -1.0), "T must be positive and finite, got -1.0"),
        (lambda: quorvel.lagrange_cg_time_matrices(3, 2**31, 1.0), "n_t must be at most 1431655765 at degree 3"),
    ]:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value).startswith(message)
