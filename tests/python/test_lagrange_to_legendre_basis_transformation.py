"""lagrange_to_legendre_basis_transformation: the triplets that turn Lagrange DOFs into Legendre DOFs."""

import random
from fractions import Fraction

import numpy as np
import pytest
from conftest import (
    as_sparse,
    assert_bits_equal,
    assert_triplets,
    coefficients,
    exact_legendre,
    exact_piecewise,
    polynomial,
    sparse_times,
)
from hypothesis import given
from hypothesis import strategies as st

import quorvel

# Its internal failures (degree 0, capacity overflow) are rows of test_lagrange_prolongation_matrix.py::test_failures,
# the table of the three triplet functions; its argument errors are tested in test_module.py.


def test_transformation_examples():
    assert quorvel.lagrange_to_legendre_basis_transformation(1, 2) == (
        [0, 0, 1, 1, 2, 2, 3, 3],
        [0, 1, 1, 2, 0, 1, 1, 2],
        [0.5, 0.5, 0.5, 0.5, -0.5, 0.5, -0.5, 0.5],
    )
    rows, cols, vals = quorvel.lagrange_to_legendre_basis_transformation(2, 1)
    assert rows == [0, 0, 0, 1, 1, 1, 2, 2, 2] and cols == [0, 1, 2] * 3
    assert_bits_equal(vals, [1 / 6, 2 / 3, 1 / 6, -0.5, 0.0, 0.5, 1 / 3, -2 / 3, 1 / 3])
    assert quorvel.lagrange_to_legendre_basis_transformation(1, 0) == ([], [], [])
    exact = [
        [Fraction(1, 8), Fraction(3, 8), Fraction(3, 8), Fraction(1, 8)],
        [Fraction(-11, 40), Fraction(-27, 40), Fraction(27, 40), Fraction(11, 40)],
        [Fraction(3, 8), Fraction(-3, 8), Fraction(-3, 8), Fraction(3, 8)],
        [Fraction(-9, 40), Fraction(27, 40), Fraction(-27, 40), Fraction(9, 40)],
    ]
    rows, cols, vals = quorvel.lagrange_to_legendre_basis_transformation(3, 1)
    dense = as_sparse((rows, cols, vals), (4, 4)).toarray()
    assert dense == pytest.approx(np.array(exact, dtype=float), abs=1e-15)


@pytest.mark.parametrize("degree", [1, 2, 3, 4, 6, 9])
def test_transformation_turns_nodal_values_into_legendre_dofs(degree):
    n_t, T = 5, 1.0
    rng = random.Random(degree)
    u = [rng.randint(-5, 5) for _ in range(n_t * degree + 1)]
    triplets = quorvel.lagrange_to_legendre_basis_transformation(degree, n_t)
    assert_triplets(triplets, (degree + 1) * n_t, n_t * degree + 1)
    assert len(triplets[0]) == n_t * (degree + 1) ** 2
    matrix = as_sparse(triplets, ((degree + 1) * n_t, n_t * degree + 1))
    row_sums = np.asarray(matrix.sum(axis=1)).ravel()
    assert row_sums[:n_t] == pytest.approx(1.0, abs=1e-12)
    assert row_sums[n_t:] == pytest.approx(0.0, abs=1e-11)
    legendre = (matrix @ np.array(u, dtype=float)).tolist()
    basis = quorvel.LegendreBasis(degree, n_t, T)
    for t in [0.0, 0.013, 0.2, 0.37, 0.5, 0.61, 0.999, 1.0]:
        expected = float(exact_piecewise(degree, n_t, 1, u, Fraction(t)))
        assert basis.evaluate_at(t, legendre) == pytest.approx(expected, abs=1e-10)


def exact_solve(matrix, rhs):
    """Gauss-Jordan elimination in exact rational arithmetic."""
    n = len(rhs)
    rows = [list(r) + [b] for r, b in zip(matrix, rhs)]
    for col in range(n):
        pivot = next(r for r in range(col, n) if rows[r][col] != 0)
        rows[col], rows[pivot] = rows[pivot], rows[col]
        for r in range(n):
            if r != col and rows[r][col] != 0:
                f = rows[r][col] / rows[col][col]
                rows[r] = [a - f * b for a, b in zip(rows[r], rows[col])]
    return [rows[i][n] / rows[i][i] for i in range(n)]


@given(degree=st.integers(1, 8), n_t=st.integers(1, 5), coeffs=coefficients)
def test_transformation_reproduces_polynomials(degree, n_t, coeffs):
    coeffs = coeffs[: degree + 1]  # a polynomial the Lagrange space holds exactly
    triplets = quorvel.lagrange_to_legendre_basis_transformation(degree, n_t)
    assert_triplets(triplets, (degree + 1) * n_t, n_t * degree + 1)
    nodes = [Fraction(k, n_t * degree) for k in range(n_t * degree + 1)]
    legendre = sparse_times(triplets, [polynomial(coeffs, x) for x in nodes], (degree + 1) * n_t)
    reference = [Fraction(2 * i, degree) - 1 for i in range(degree + 1)]
    vandermonde = [[exact_legendre(p, x) for p in range(degree + 1)] for x in reference]
    scale = 1 + sum(abs(c) for c in coeffs)
    for e in range(n_t):
        local = [polynomial(coeffs, (e + (x + 1) / 2) / n_t) for x in reference]
        exact = exact_solve(vandermonde, local)  # the interval's exact Legendre coefficients
        for p in range(degree + 1):
            assert abs(legendre[p * n_t + e] - exact[p]) <= 1e-11 * scale
