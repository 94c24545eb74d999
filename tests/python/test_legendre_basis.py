"""LegendreBasis as a user sees it: values against exact oracles, bits, layouts."""

import math
import random
from fractions import Fraction

import numpy as np
import pytest
from conftest import assert_bits_equal, bits, exact_legendre, exact_legendre_derivative
from scipy.special import eval_legendre

from quorvel import LegendreBasis


def float_legendre(k, x):
    """P_k(x) with the module's operation order, in Python floats (no fused multiply-add)."""
    if k == 0:
        return 1.0
    prev, cur, m = 1.0, x, 1.0
    for _ in range(1, k):
        prev, cur = cur, (cur * (x * ((m + m) + 1.0)) - prev * m) / (m + 1.0)
        m += 1.0
    return cur


def float_legendre_derivative(k, x):
    """P'_k(x) by P'_j = j P_(j-1) + x P'_(j-1), in the module's operation order."""
    if k == 0:
        return 0.0
    dp = 1.0
    for j in range(2, k + 1):
        dp = float(j) * float_legendre(j - 1, x) + x * dp
    return dp


def float_locate(degree, n_t, T, t):
    h = T / n_t
    q = math.floor(t / h) if math.isfinite(t / h) else (t / h)
    if not q >= 0:
        c = 0
    elif q >= 4294967295.0:
        c = 4294967295
    else:
        c = int(q)
    c = min(c, n_t - 1)
    a = h * c
    b = h + a
    s = t + (a + b) * -0.5
    x = (s + s) / (b - a)
    if x < -1.0:
        x = -1.0
    elif x > 1.0:
        x = 1.0
    return c, x, h


def float_evaluate(degree, n_t, T, dofs, t, derivative=False):
    c, x, h = float_locate(degree, n_t, T, t)
    s = -0.0
    for i in range(degree + 1):
        p = float_legendre_derivative(i, x) if derivative else float_legendre(i, x)
        s = s + p * dofs[c + n_t * i]
    return (s + s) / h if derivative else s


def test_documented_examples():
    b = LegendreBasis(1, 2, 1.0)
    assert [b.evaluate_at(t, [1, 2, 3, 4]) for t in (0.25, 0.75, 0.5)] == [1.0, 2.0, -2.0]
    assert b.evaluate_at(0.25, [1, 2, 3, 4, 99]) == 1.0
    assert LegendreBasis(T=1.0, n_t=4, degree=2).evaluate_at(0.0, [0] * 12) == 0.0
    values = LegendreBasis(2, 3, 3.0).evaluate_all_basis_functions(1.5)
    assert_bits_equal(values, [0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, -0.5, 0.0])
    assert LegendreBasis(1, 2, 1.0).evaluate_all_basis_function_derivatives(0.1) == [0.0, 0.0, 4.0, 0.0]
    # P_3(0) is -0.0 by the recurrence.
    assert_bits_equal(LegendreBasis(3, 2, 2.0).evaluate_all_basis_functions(0.5), [1, 0, 0, 0, -0.5, 0, -0.0, 0])


@pytest.mark.parametrize("degree", [0, 1, 2, 3, 5, 8, 13])
def test_values_bit_for_bit_and_against_exact_oracle(degree):
    rng = random.Random(degree)
    n_t, T = 7, 2.5
    basis = LegendreBasis(degree, n_t, T)
    dofs = [rng.uniform(-2, 2) for _ in range(n_t * (degree + 1))]
    times = [rng.uniform(-0.5, T + 0.5) for _ in range(60)] + [0.0, T, T / n_t * 3, -1e300, 1e300]
    for t in times:
        value = basis.evaluate_at(t, dofs)
        assert bits(value) == bits(float_evaluate(degree, n_t, T, dofs, t))
        c, x, _ = float_locate(degree, n_t, T, t)
        exact = sum(exact_legendre(i, Fraction(x)) * Fraction(dofs[c + n_t * i]) for i in range(degree + 1))
        assert value == pytest.approx(float(exact), rel=1e-12, abs=1e-12)
        all_values = basis.evaluate_all_basis_functions(t)
        assert float(np.dot(all_values, dofs)) == pytest.approx(value, rel=1e-12, abs=1e-12)
        assert [all_values[c + n_t * i] for i in range(degree + 1)] == pytest.approx(
            eval_legendre(range(degree + 1), x), rel=1e-12, abs=1e-13
        )


@pytest.mark.parametrize("degree", [0, 1, 2, 3, 4, 7, 12])
def test_derivatives_against_exact_oracle(degree):
    n_t, T = 10, 1.0
    basis = LegendreBasis(degree, n_t, T)
    rng = random.Random(100 + degree)
    dofs = [rng.uniform(-1, 1) for _ in range(n_t * (degree + 1))]
    # Mesh points (x = -1 exactly or just below +1), both ends, and interior points.
    times = [0.0, 0.3, 0.7, 1.0, -3.0, 4.0, 0.0999999999, 0.1000000001, 0.55, 0.123]
    for t in times:
        c, x, h = float_locate(degree, n_t, T, t)
        derivatives = basis.evaluate_all_basis_function_derivatives(t)
        for k in range(degree + 1):
            exact = exact_legendre_derivative(k, Fraction(x)) * 2 / Fraction(h)
            assert derivatives[c + n_t * k] == pytest.approx(float(exact), rel=1e-12, abs=1e-10)
        exact_sum = sum(
            exact_legendre_derivative(i, Fraction(x)) * Fraction(dofs[c + n_t * i]) for i in range(degree + 1)
        )
        assert float(np.dot(derivatives, dofs)) == pytest.approx(
            float(exact_sum * 2 / Fraction(h)), rel=1e-12, abs=1e-10
        )


@pytest.mark.parametrize("k", range(0, 16))
def test_derivative_exact_at_both_ends(k):
    # P'_k(1) = k(k+1)/2 and P'_k(-1) = (-1)^(k+1) k(k+1)/2, exactly.
    n_t, T = 4, 2.0
    h = T / n_t
    basis = LegendreBasis(k, n_t, T)
    expected = k * (k + 1) / 2 * 2 / h
    at_right = basis.evaluate_all_basis_function_derivatives(T)
    at_left = basis.evaluate_all_basis_function_derivatives(0.0)
    assert at_right[(n_t - 1) + n_t * k] == expected
    assert at_left[n_t * k] == (-1) ** (k + 1) * expected


def test_derivative_near_mesh_point_is_accurate():
    # t = 0.3 with n_t = 10 lies just left of the node in floating point.
    derivatives = LegendreBasis(2, 10, 1.0).evaluate_all_basis_function_derivatives(0.3)
    c, x, h = float_locate(2, 10, 1.0, 0.3)
    assert derivatives[c + 20] == pytest.approx(3 * x * 2 / h, rel=1e-14)
    assert abs(derivatives[c + 20]) == pytest.approx(3 * 2 / h, rel=1e-9)


def test_times_outside_and_non_finite():
    basis = LegendreBasis(2, 4, 1.0)
    dofs = [float(v) for v in range(1, 13)]
    # Before 0: interval 0 at x = -1; after T: last interval at x = 1.
    assert basis.evaluate_at(-5.0, dofs) == 1 - 5 + 9
    assert basis.evaluate_at(7.0, dofs) == 4 + 8 + 12
    assert basis.evaluate_at(-math.inf, dofs) == 1 - 5 + 9
    assert basis.evaluate_at(math.inf, dofs) == 4 + 8 + 12
    assert math.isnan(basis.evaluate_at(math.nan, dofs))
    nan_values = basis.evaluate_all_basis_functions(math.nan)
    assert nan_values[0] == 1.0 and math.isnan(nan_values[4]) and math.isnan(nan_values[8])
    assert LegendreBasis(0, 4, 1.0).evaluate_at(math.nan, [5.0, 6.0, 7.0, 8.0]) == 5.0
    # Derivative at x = -1 exactly, every degree contributes now.
    d = basis.evaluate_all_basis_function_derivatives(-5.0)
    assert [d[0], d[4], d[8]] == [0.0, 8.0, -24.0]


def test_degree_zero_and_negative_interval_length():
    assert LegendreBasis(0, 3, 3.0).evaluate_all_basis_functions(1.5) == [0.0, 1.0, 0.0]
    derivatives = LegendreBasis(0, 3, -3.0).evaluate_all_basis_function_derivatives(-1.5)
    assert [bits(v) for v in derivatives] == [bits(0.0), bits(-0.0), bits(0.0)]


@pytest.mark.parametrize(
    "call",
    [
        lambda b: b.evaluate_at(0.5, []),
        lambda b: b.evaluate_all_basis_functions(0.5),
        lambda b: b.evaluate_all_basis_function_derivatives(0.5),
    ],
)
def test_zero_intervals_fail_without_touching_memory(call, panic, diagnostics):
    with pytest.raises(panic, match=r"^Matrix slicing out of bounds\.$"):
        call(LegendreBasis(2, 0, 1.0))
    assert diagnostics() == ["Matrix slicing out of bounds."]


def test_constructor_accepts_every_value_and_converts_in_order():
    for args in [(0, 0, 0.0), (3, 1, -1.0), (1, 1, math.nan), (1, 1, math.inf), (True, 1, 1)]:
        LegendreBasis(*args)
    with pytest.raises(OverflowError):
        LegendreBasis(-1, 2, 1.0)
    with pytest.raises(TypeError, match="^argument 'degree': "):
        LegendreBasis(1.0, 2, 1.0)
    # degree is converted before n_t, n_t before T.
    with pytest.raises(TypeError, match="^argument 'n_t': "):
        LegendreBasis(1, "2", "x")
    with pytest.raises(TypeError, match="^argument 'T': must be real number, not str$"):
        LegendreBasis(1, 2, "x")
