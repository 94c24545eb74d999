"""Space-time building blocks: tabulation of the basis functions."""

import math
from fractions import Fraction

import numpy as np
import pytest
from conftest import bits, exact_derivative

from quorvel import LegendreBasis


@pytest.mark.parametrize(("degree", "n_t", "T"), [(0, 3, 1.0), (1, 2, 2.0), (3, 5, 1.5), (6, 4, -2.0), (9, 7, 0.0)])
def test_tabulate_orders_0_and_1_are_the_all_basis_vectors(degree, n_t, T):
    basis = LegendreBasis(degree, n_t, T)
    rng = np.random.default_rng(degree)
    times = np.concatenate(
        [rng.uniform(-0.5, 2.5, 40), [0.0, -0.0, 1.0, 2.0, math.nan, math.inf, -math.inf, 1e300]]
    ).reshape(4, 12)
    for order, vectors in [(0, basis.evaluate_all_basis_functions), (1, basis.evaluate_all_basis_function_derivatives)]:
        intervals, values = basis.tabulate(times, derivative=order)
        assert intervals.dtype == np.int64 and intervals.shape == times.shape
        assert values.dtype == np.float64 and values.shape == times.shape + (degree + 1,)
        for index in np.ndindex(times.shape):
            vector = vectors(float(times[index]))
            c = int(intervals[index])
            local = [vector[c + n_t * i] for i in range(degree + 1)]
            assert [bits(v) for v in values[index]] == [bits(v) for v in local]
            # Everything outside interval c is zero: c is the interval the specified calls chose.
            assert all(v == 0.0 for j, v in enumerate(vector) if j % n_t != c)


def test_tabulate_higher_orders_against_exact_arithmetic():
    degree, n_t, T = 5, 4, 1.0  # h = 0.25: the location is exact
    basis = LegendreBasis(degree, n_t, T)
    times = np.array([0.0, 0.1, 0.25, 0.3, 0.5, 0.77, 1.0])
    for m in range(degree + 3):
        intervals, values = basis.tabulate(times, derivative=m)
        for t, c, row in zip(times.tolist(), intervals.tolist(), values):
            x = 2 * (Fraction(t) - c * Fraction(1, 4)) / Fraction(1, 4) - 1
            for k, v in enumerate(row.tolist()):
                exact = exact_derivative(k, m, x) * 8**m
                assert abs(Fraction(v) - exact) <= Fraction(abs(float(exact)) * 2**-48 + 2**-40), (m, t, k)
        if m > degree:
            assert not values.any() and not np.signbit(values).any()


def test_tabulate_shapes_and_refusals():
    basis = LegendreBasis(2, 3, 3.0)
    intervals, values = basis.tabulate(1.5)
    assert intervals.shape == () and values.shape == (3,) and int(intervals) == 1
    intervals, values = basis.tabulate(np.empty((0, 4)))
    assert intervals.shape == (0, 4) and values.shape == (0, 4, 3)
    reversed_times = np.linspace(0, 3, 9)[::-2]
    assert np.array_equal(basis.tabulate(reversed_times)[1], basis.tabulate(reversed_times.copy())[1])
    for call, exc, message in [
        (lambda: basis.tabulate([1j]), TypeError, "t_values must be real, got complex128"),
        (lambda: basis.tabulate([0.5], derivative=-2), ValueError, "derivative must be at least 0, got -2"),
        (lambda: basis.tabulate([0.5], derivative=1.0), TypeError, "derivative must be an int, got float"),
        (
            lambda: LegendreBasis(2, 0, 1.0).tabulate([0.5]),
            ValueError,
            "cannot tabulate: the basis has no intervals (n_t is 0)",
        ),
        (
            lambda: basis.tabulate(),
            TypeError,
            "LegendreBasis.tabulate() missing 1 required positional argument: 't_values'",
        ),
    ]:
        with pytest.raises(exc) as error:
            call()
        assert str(error.value) == message
    assert LegendreBasis(2, 0, 1.0).tabulate([])[1].shape == (0, 3)
    assert LegendreBasis.tabulate.__text_signature__ == "($self, t_values, *, derivative=0)"
