"""LegendreBasis: values and derivatives against exact oracles and bit for bit, tabulation, metadata."""

import math
import random
from fractions import Fraction

import numpy as np
import pytest
from conftest import assert_bits_equal, bits, exact_derivative, exact_legendre, exact_legendre_derivative
from hypothesis import given
from hypothesis import strategies as st
from scipy.special import eval_legendre

import quorvel
from quorvel import LegendreBasis, LegendreBasisEvaluator

# repr, the read-only attributes, pickling and copying of both classes are tested in test_LegendreBasisEvaluator.py;
# the argument rules every callable shares in test_module.py; hostile arguments, sizes beyond memory, threads and
# leaks under robustness/.


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


def test_class_metadata():
    cls = quorvel.LegendreBasis
    assert cls.__text_signature__ == "(degree, n_t, T)"
    assert cls.__doc__ is None
    assert cls.__name__ == "LegendreBasis"
    for name, sig in [
        ("evaluate_at", "($self, t, legendre_vals)"),
        ("evaluate_all_basis_functions", "($self, t)"),
        ("evaluate_all_basis_function_derivatives", "($self, t)"),
    ]:
        assert getattr(cls, name).__text_signature__ == sig
        assert getattr(cls, name).__doc__ is None
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = cls(1, 1, 1.0)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(obj)


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


finite_dof = st.floats(-1e3, 1e3)


@given(
    degree=st.integers(0, 10),
    n_t=st.integers(1, 8),
    T=st.floats(1e-3, 1e3),
    dofs_seed=st.lists(finite_dof, min_size=1, max_size=11),
    t=st.one_of(st.floats(-10.0, 1e4), st.sampled_from([0.0, -0.0, math.inf, -math.inf, 5e-324])),
)
def test_all_basis_functions_dotted_with_dofs_give_the_value(degree, n_t, T, dofs_seed, t):
    count = n_t * (degree + 1)
    dofs = [dofs_seed[i % len(dofs_seed)] for i in range(count)]
    basis = LegendreBasis(degree, n_t, T)
    ev = LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs(dofs)
    for all_functions, value in [
        (basis.evaluate_all_basis_functions(t), basis.evaluate_at(t, dofs)),
        (basis.evaluate_all_basis_function_derivatives(t), ev.evaluate_derivative_at(t)),
    ]:
        terms = [b * d for b, d in zip(all_functions, dofs)]
        scale = math.fsum(abs(x) for x in terms)
        assert abs(math.fsum(terms) - value) <= 1e-12 * scale + 1e-300
    assert bits(basis.evaluate_at(t, dofs)) == bits(ev.evaluate_at(t))


# ---------------------------------------------------------------- tabulate


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
            # Everything outside interval c is zero: c is the interval the all-basis methods chose.
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


@pytest.mark.parametrize(("degree", "n_t", "T"), [(3, 2, 1.5e308), (5, 3, 1.7e308), (2, 2, 1.7976931348623157e308)])
def test_meshes_beyond_half_the_largest_double(degree, n_t, T):
    # a + b of the last intervals' ends overflows; the reference coordinate must not.
    basis = LegendreBasis(degree, n_t, T)
    h = T / n_t
    times = [h * c for c in range(n_t)] + [T] + np.random.default_rng(degree).uniform(0.0, T, 30).tolist()
    dofs = np.random.default_rng(n_t).uniform(-1.0, 1.0, n_t * (degree + 1)).tolist()
    intervals, values = basis.tabulate(times)
    for t, c, row in zip(times, intervals.tolist(), values.tolist()):
        a = h * c
        b = h + a
        x = min(
            max((2 * Fraction(t) - Fraction(a) - Fraction(b)) / (Fraction(b) - Fraction(a)), Fraction(-1)), Fraction(1)
        )
        exact = [exact_legendre(k, x) for k in range(degree + 1)]
        assert all(abs(Fraction(v) - e) <= Fraction(2.0**-44) for v, e in zip(row, exact)), (t, row)
        value = sum(Fraction(dofs[c + n_t * k]) * e for k, e in enumerate(exact))
        assert abs(Fraction(basis.evaluate_at(t, dofs)) - value) <= Fraction(2.0**-42), t


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
    assert (
        LegendreBasis.tabulate.__text_signature__ == "($self, t_values, *, derivative=0, side='right', intervals=None)"
    )
