"""Lagrange nodes, prolongation and Lagrange-to-Legendre matrices, through the module."""

import random
from fractions import Fraction

import numpy as np
import pytest
import scipy.sparse
from conftest import assert_bits_equal

import quorvel


def exact_interpolant(nodes, values, x):
    """The Lagrange interpolant through (nodes, values) at x, in exact arithmetic."""
    total = Fraction(0)
    for i, (xi, vi) in enumerate(zip(nodes, values)):
        term = Fraction(vi)
        for j, xj in enumerate(nodes):
            if j != i:
                term *= (x - xj) / (xi - xj)
        total += term
    return total


def exact_piecewise(degree, n_t, T, dofs, t):
    """Continuous piecewise Lagrange function with the given nodal DOFs, exactly, at t in [0, T]."""
    T = Fraction(T)
    h = T / n_t
    k = min(int(Fraction(t) / h), n_t - 1)
    nodes = [h * k + h * i / degree for i in range(degree + 1)]
    return exact_interpolant(nodes, dofs[k * degree : k * degree + degree + 1], Fraction(t))


def as_sparse(triplets, shape):
    rows, cols, vals = triplets
    return scipy.sparse.coo_matrix((vals, (rows, cols)), shape=shape).tocsr()


def assert_sorted_unique(triplets):
    rows, cols, vals = triplets
    assert len(rows) == len(cols) == len(vals)
    pairs = list(zip(rows, cols))
    assert pairs == sorted(set(pairs))
    assert all(type(r) is int and type(c) is int and type(v) is float for r, c, v in zip(rows, cols, vals))


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((2, 2, 1.0), [0.0, 0.25, 0.5, 0.75, 1.0]),
        ((1, 2, 3), [0.0, 1.5, 3.0]),
        ((2, 2, -1.0), [-0.0, -0.25, -0.5, -0.75, -1.0]),
        ((0, 5, 2.0), [2.0]),
        ((3, 0, 2.0), [2.0]),
        ((3, 1, 3.0), [0.0, 1.0, 2.0, 3.0]),
        ((1, 3, 1.0), [0.0, 0.3333333333333333, 0.6666666666666666, 1.0]),
        ((1, 6, 1.0), [0.0, 1 / 6, 1 / 3, 0.5, 2 / 3, 0.8333333333333333, 1.0]),
        ((2, 3, 0.0), [0.0] * 7),
    ],
)
def test_lagrange_points(args, expected):
    assert_bits_equal(quorvel.get_lagrange_points(*args), expected)


def test_lagrange_points_follow_the_node_rule_bit_for_bit():
    degree, n_t, T = 4, 10, 2.7
    h = T / n_t
    expected = []
    k = 0.0
    for _ in range(n_t):
        a, b = h * k, h + h * k
        expected += [a + ((b - a) * i) / degree for i in range(degree)]
        k += 1.0
    expected.append(T)
    points = quorvel.get_lagrange_points(degree=degree, n_t=n_t, T=T)
    assert len(points) == 41
    assert_bits_equal(points, expected)


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((1, 2, 1), ([0, 1, 1, 2], [0, 0, 1, 1], [1.0, 0.5, 0.5, 1.0])),
        ((5, 1, 1), ([0, 1], [0, 5], [1.0, 1.0])),
        ((2, 2, 3), (list(range(7)), list(range(7)), [1.0] * 7)),
        (
            (2, 3, 1),
            (
                [0, 1, 1, 2, 2, 3],
                [0, 0, 1, 1, 2, 2],
                [1.0, 0.3333333333333333, 0.6666666666666665, 0.6666666666666667, 0.3333333333333332, 1.0],
            ),
        ),
        (
            (1, 2, 2),
            (
                [0, 1, 1, 1, 2, 3, 3, 3, 4],
                [0, 0, 1, 2, 1, 0, 1, 2, 2],
                [1.0, 0.375, 0.75, -0.125, 1.0, -0.12499999999999999, 0.7499999999999999, 0.37499999999999994, 1.0],
            ),
        ),
    ],
)
def test_prolongation_examples(args, expected):
    rows, cols, vals = quorvel.lagrange_prolongation_matrix(*args)
    assert (rows, cols) == expected[:2]
    assert_bits_equal(vals, expected[2])


def test_prolongation_to_a_coarser_mesh():
    rows, cols, vals = quorvel.lagrange_prolongation_matrix(3, 2, 2)
    assert rows == [0, 1, 1, 1, 2, 3, 3, 3, 4]
    assert cols == [0, 0, 1, 2, 3, 4, 5, 6, 6]
    assert vals[5:8] == [0.375, 0.75, -0.125]


def test_prolongation_rows_that_just_miss_the_node_tolerance():
    rows, cols, vals = quorvel.lagrange_prolongation_matrix(333, 999, 4)
    row_504 = [(c, v) for r, c, v in zip(rows, cols, vals) if r == 504]
    assert row_504 == [
        (164, -7.105427357600632e-15),
        (165, 3.789561257387012e-14),
        (166, -8.526512829120819e-14),
        (167, 1.1368683772161253e-13),
        (168, 0.9999999999999407),
    ]
    per_row = np.bincount(rows, minlength=999 * 4 + 1)
    coinciding = np.arange(0, 999 * 4 + 1, 3)  # fine DOF 3j lies on coarse DOF j
    assert len(coinciding) == 1333
    assert int(np.sum(per_row[coinciding] == 5)) == 144
    assert int(np.sum(per_row[coinciding] == 1)) == 1333 - 144


@pytest.mark.parametrize(("nt_coarse", "nt_fine", "degree"), [(3, 7, 2), (4, 8, 3), (5, 3, 4), (2, 9, 1)])
def test_prolongation_reproduces_coarse_functions(nt_coarse, nt_fine, degree):
    rng = random.Random(nt_coarse * 100 + nt_fine)
    u = [rng.randint(-8, 8) for _ in range(nt_coarse * degree + 1)]
    triplets = quorvel.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)
    assert_sorted_unique(triplets)
    matrix = as_sparse(triplets, (nt_fine * degree + 1, nt_coarse * degree + 1))
    fine = matrix @ np.array(u, dtype=float)
    fine_nodes = [Fraction(r, nt_fine * degree) for r in range(nt_fine * degree + 1)]
    expected = [float(exact_piecewise(degree, nt_coarse, 1, u, t)) for t in fine_nodes]
    assert fine == pytest.approx(expected, abs=1e-12)


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
    assert_sorted_unique(triplets)
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


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: quorvel.lagrange_prolongation_matrix(1, 2, 0),
            "Lagrange prolongation requires polynomial degree at least 1",
        ),
        (
            lambda: quorvel.lagrange_prolongation_matrix(0, 0, 0),
            "Lagrange prolongation requires polynomial degree at least 1",
        ),
        (
            lambda: quorvel.lagrange_prolongation_matrix(0, 2, 1),
            "Lagrange prolongation requires at least one coarse interval",
        ),
        (
            lambda: quorvel.lagrange_prolongation_matrix(0, 0, 1),
            "Lagrange prolongation requires at least one coarse interval",
        ),
        (
            lambda: quorvel.lagrange_prolongation_matrix(1, 0, 1),
            "Lagrange prolongation requires at least one fine interval",
        ),
        (
            lambda: quorvel.lagrange_to_legendre_basis_transformation(0, 3),
            "Lagrange to Legendre conversion not meaningful for degree 0",
        ),
        (
            lambda: quorvel.lagrange_to_legendre_basis_transformation(0, 0),
            "Lagrange to Legendre conversion not meaningful for degree 0",
        ),
        (lambda: quorvel.get_lagrange_points(4294967295, 4294967295, 1.0), "capacity overflow"),
        (lambda: quorvel.lagrange_to_legendre_basis_transformation(4294967295, 4294967295), "capacity overflow"),
        (
            lambda: quorvel.lagrange_prolongation_matrix(4294967295, 2, 2),
            "Lagrange prolongation supports at most 4294967295 DOFs per mesh",
        ),
    ],
)
def test_failures(call, message, panic, diagnostics):
    with pytest.raises(panic) as info:
        call()
    assert str(info.value) == message
    assert diagnostics() == [message]


@pytest.mark.refusable_allocation
def test_argument_errors_name_the_parameter():
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        quorvel.get_lagrange_points(4294967296, 1, 1.0)
    with pytest.raises(OverflowError):
        quorvel.lagrange_prolongation_matrix(1, -2, 1)
    with pytest.raises(TypeError, match="^argument 'nt_fine': "):
        quorvel.lagrange_prolongation_matrix(1, 2.0, 1)
    with pytest.raises(TypeError, match="^argument 'T': "):
        quorvel.get_lagrange_points(1, 1, None)
    with pytest.raises(TypeError, match=r"^lagrange_to_legendre_basis_transformation\(\) missing 1 required"):
        quorvel.lagrange_to_legendre_basis_transformation(1)
    with pytest.raises(MemoryError):
        quorvel.get_lagrange_points(2**31, 2**28, 1.0)
    assert quorvel.get_lagrange_points(1, 1, 1.0) == [0.0, 1.0]


@pytest.mark.refusable_allocation
def test_prolongation_cost_follows_entries_not_coarse_columns():
    # 2**29 coarse intervals of degree 4 have 2**31 + 1 DOFs; the matrix to two fine
    # intervals has 9 rows and 9 entries. Neither nodes nor column-sized work may be
    # needed: the call must succeed within a 2 GiB address space.
    script = """
import resource, sys
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
import quorvel
rows, cols, vals = quorvel.lagrange_prolongation_matrix(2**29, 2, 4)
print(rows == list(range(9)), cols[-1], vals[0], vals[-1])
"""
    import subprocess
    import sys

    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", str(2**29 * 4), "1.0", "1.0"]
