"""lagrange_prolongation_matrix: the triplets that carry Lagrange DOFs from one mesh to another;
and the internal failures of the three triplet functions."""

import random
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest
from conftest import (
    as_sparse,
    assert_bits_equal,
    assert_triplets,
    coefficients,
    exact_piecewise,
    polynomial,
    sparse_times,
)
from hypothesis import given
from hypothesis import strategies as st

import quorvel

# Its argument errors are tested in test_module.py.


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
    assert_triplets(triplets, nt_fine * degree + 1, nt_coarse * degree + 1)
    matrix = as_sparse(triplets, (nt_fine * degree + 1, nt_coarse * degree + 1))
    fine = matrix @ np.array(u, dtype=float)
    fine_nodes = [Fraction(r, nt_fine * degree) for r in range(nt_fine * degree + 1)]
    expected = [float(exact_piecewise(degree, nt_coarse, 1, u, t)) for t in fine_nodes]
    assert fine == pytest.approx(expected, abs=1e-12)


@given(nt_coarse=st.integers(1, 8), nt_fine=st.integers(1, 16), degree=st.integers(1, 6), coeffs=coefficients)
def test_prolongation_reproduces_polynomials(nt_coarse, nt_fine, degree, coeffs):
    coeffs = coeffs[: degree + 1]
    triplets = quorvel.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)
    assert_triplets(triplets, nt_fine * degree + 1, nt_coarse * degree + 1)
    coarse = [polynomial(coeffs, Fraction(k, nt_coarse * degree)) for k in range(nt_coarse * degree + 1)]
    fine = sparse_times(triplets, coarse, nt_fine * degree + 1)
    scale = 1 + sum(abs(c) for c in coeffs)
    for k, value in enumerate(fine):
        assert abs(value - polynomial(coeffs, Fraction(k, nt_fine * degree))) <= 1e-11 * scale


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
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", str(2**29 * 4), "1.0", "1.0"]


# The internal failures of lagrange_prolongation_matrix, lagrange_to_legendre_basis_transformation
# and get_lagrange_points, in one table.
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
