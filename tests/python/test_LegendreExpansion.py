"""LegendreExpansion: piecewise Legendre functions with any number of components."""

import copy
import hashlib
import math
import os
import pickle
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest
from conftest import bits, exact_derivative, exact_legendre

import quorvel
from quorvel import LegendreExpansion

RNG = np.random.default_rng(17)


def exact_value(coefficients, T, c, t, order=0):
    """The order-th time derivative of interval c's polynomial at the time t, exactly
    (the exact h and the exact reference coordinate of the double t on that interval)."""
    degree, n_t = coefficients.shape[:2]
    h = Fraction(T) / n_t
    x = 2 * (Fraction(t) - c * h) / h - 1
    scale = (2 / h) ** order
    return [
        float(scale * sum(Fraction(coefficients[i, c, j]) * exact_derivative(i, order, x) for i in range(degree)))
        for j in range(coefficients.shape[2])
    ]


@pytest.mark.parametrize("degree", [0, 1, 3])
def test_values_derivatives_and_sides_against_exact_arithmetic(degree):
    # h = 0.25: the mesh points are exact, and so is every time below.
    n_t, T, m = 4, 1.0, 3
    coefficients = RNG.uniform(-2, 2, (degree + 1, n_t, m))
    expansion = LegendreExpansion(coefficients, T)
    times = np.array([0.0, 0.1, 0.25, 0.3, 0.5, 0.625, 0.75, 0.9, 1.0])
    for order in range(degree + 2):
        right = expansion(times, derivative=order)
        left = expansion(times, derivative=order, side="left")
        assert right.shape == left.shape == (len(times), m)
        for k, t in enumerate(times):
            c_right = min(int(t / 0.25), n_t - 1)
            c_left = max(math.ceil(t / 0.25) - 1, 0)
            for got, c in ((right[k], c_right), (left[k], c_left)):
                expected = exact_value(coefficients, T, c, t, order)
                assert got == pytest.approx(expected, rel=1e-13, abs=1e-12), (order, t)
    # Derivatives above the degree are zero, and derivative(m) is that expansion.
    assert not expansion(times, derivative=degree + 1).any()
    for m_order in range(degree + 2):
        derived = expansion.derivative(m_order)
        assert derived.degree == max(degree - m_order, 0)
        np.testing.assert_allclose(derived(times), expansion(times, derivative=m_order), rtol=1e-12, atol=1e-10)


def test_mesh_points_follow_the_mesh_where_the_quotient_rule_does_not():
    # h * 15 / h rounds below 15 for n_t = 49: the original methods give the left limit there.
    n_t, degree = 49, 2
    dofs = RNG.uniform(-1, 1, n_t * (degree + 1))
    evaluator = quorvel.LegendreBasisEvaluator(degree, n_t, 1.0)
    evaluator.set_dofs(dofs)
    expansion = LegendreExpansion(dofs.reshape(degree + 1, n_t), 1.0)
    h = 1.0 / n_t
    mesh = np.array(quorvel.get_lagrange_points(1, n_t, 1.0)[1:-1])
    assert mesh.tolist() == [h * c for c in range(1, n_t)]
    per_interval = dofs.reshape(degree + 1, n_t)
    right_limits = [sum(per_interval[i, c] * (-1) ** i for i in range(degree + 1)) for c in range(1, n_t)]
    left_limits = [sum(per_interval[i, c - 1] for i in range(degree + 1)) for c in range(1, n_t)]
    # x lies within rounding of -1 and 1 there: the interval's ends h c and h + h (c - 1) are
    # not always the same double.
    np.testing.assert_allclose(expansion(mesh), right_limits, atol=1e-13)
    np.testing.assert_allclose(expansion(mesh, side="left"), left_limits, atol=1e-13)
    quotient = evaluator.evaluate(mesh)
    disagree = np.flatnonzero(quotient != expansion(mesh))
    assert disagree.tolist() == [14, 29]  # h * 15 and h * 30
    # Away from the mesh points both rules agree, and so do the bits.
    times = RNG.uniform(-0.1, 1.1, 5000)
    assert evaluator.evaluate(times).tobytes() == expansion(times).tobytes()
    assert evaluator.evaluate(times, derivative=1).tobytes() == expansion(times, derivative=1).tobytes()


def test_components_are_the_scalar_expansions_bit_for_bit():
    degree, n_t, T = 3, 37, 2.5
    coefficients = RNG.uniform(-3, 3, (degree + 1, n_t, 4, 5))
    coefficients[2, 5, 1, 3] = math.nan
    expansion = LegendreExpansion(coefficients, T)
    times = np.concatenate([RNG.uniform(-0.2, 2.7, 3001), np.array(quorvel.get_lagrange_points(1, n_t, T))])
    given = RNG.integers(0, n_t, times.shape)
    for options in ({}, {"side": "left"}, {"intervals": given}, {"derivative": 2}, {"derivative": 5}):
        values = expansion(times, **options)
        assert values.shape == times.shape + (4, 5)
        for j, k in [(0, 0), (1, 3), (3, 4)]:
            alone = LegendreExpansion(coefficients[:, :, j, k], T)(times, **options)
            assert values[:, j, k].tobytes() == alone.tobytes(), options
    nan = expansion(times, derivative=1)[:, 1, 3]
    assert {bits(v) for v in nan if v != v} == {bits(math.nan)}


def test_results_are_the_same_for_every_pool_size():
    script = """
import hashlib, numpy as np, quorvel
rng = np.random.default_rng(5)
e = quorvel.LegendreExpansion(rng.uniform(-1, 1, (3, 256, 100)), 1.0)
t = rng.uniform(0, 1, 20000)
s = quorvel.LegendreExpansion(rng.uniform(-1, 1, (4, 50)), 1.0)
print(hashlib.sha256(e(t, side="left").tobytes() + s(t, derivative=1).tobytes()).hexdigest())
"""
    digests = set()
    for threads in ("1", "2", "5"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads, PYTHONPATH=":".join(sys.path))
        run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
        digests.add(run.stdout.strip())
    assert len(digests) == 1


def test_given_intervals_place_interval_ends():
    # Right Radau points: each interval's right end, h + h c, is a point of that interval.
    degree, n_t, T = 2, 49, 1.0
    coefficients = RNG.uniform(-1, 1, (degree + 1, n_t))
    expansion = LegendreExpansion(coefficients, T)
    points, weights, intervals = quorvel.quadrature(3, n_t, T, rule="radau", return_intervals=True)
    assert intervals.dtype == np.int64 and intervals.tolist() == [p // 3 for p in range(3 * n_t)]
    ends = points[2::3]
    expected = coefficients.sum(axis=0)  # every P_i is 1 at x = 1
    np.testing.assert_allclose(expansion(ends, intervals=intervals[2::3]), expected, atol=1e-13)
    assert not np.allclose(expansion(ends), expected)  # by the mesh, an end lies on the next interval
    # tabulate takes them the same way: the load vector of f(t) = cos(3 t) comes out exact.
    basis = quorvel.LegendreBasis(degree, n_t, T)
    c, v = basis.tabulate(points, intervals=intervals)
    load = np.zeros((degree + 1, n_t))
    np.add.at(load, (np.arange(degree + 1)[None, :], c[:, None]), (weights * np.cos(3 * points))[:, None] * v)
    h = T / n_t
    for cc in (0, 17, 48):
        for i in range(degree + 1):
            exact = quad_exact(lambda t: math.cos(3 * t), cc * h, h + cc * h, i)
            assert load[i, cc] == pytest.approx(exact, abs=1e-7)


def quad_exact(f, a, b, i, n=40):
    """Integral over [a, b] of f times P_i of the interval's coordinate, by a 40-point Gauss rule."""
    x, w = np.polynomial.legendre.leggauss(n)
    t = a + (x + 1) * (b - a) / 2
    return (
        float(np.sum(w * np.array([f(s) for s in t]) * np.polynomial.legendre.legval(x, [0] * i + [1]))) * (b - a) / 2
    )


def test_integrals_against_exact_arithmetic():
    degree, n_t, T = 3, 8, 2.0  # h = 0.25
    coefficients = RNG.uniform(-1, 1, (degree + 1, n_t, 2))
    expansion = LegendreExpansion(coefficients, T)

    def exact(a, b):
        if b < a:
            return [-v for v in exact(b, a)]
        a, b = Fraction(a), Fraction(b)
        h, total = Fraction(T) / n_t, [Fraction(0)] * 2
        for c in range(n_t):
            lo, hi = max(a, c * h), min(b, (c + 1) * h)
            if lo >= hi:
                continue
            for j in range(2):
                for i in range(degree + 1):
                    # integral of P_i(x) over [x(lo), x(hi)], dt = h / 2 dx
                    xs = [2 * (s - c * h) / h - 1 for s in (lo, hi)]
                    antiderivative = [
                        (exact_legendre(i + 1, x) - exact_legendre(i - 1, x)) / (2 * i + 1) if i else x for x in xs
                    ]
                    total[j] += Fraction(coefficients[i, c, j]) * (antiderivative[1] - antiderivative[0]) * h / 2
        return [float(v) for v in total]

    for a, b in [(0.0, 2.0), (0.3, 1.7), (0.5, 0.6), (0.25, 0.75), (1.9, 0.1), (0.0, 0.0)]:
        got = expansion.integrate(a, b)
        assert got.shape == (2,)
        np.testing.assert_allclose(got, exact(a, b), rtol=1e-14, atol=1e-15)
    np.testing.assert_allclose(expansion.integrate(), exact(0.0, 2.0), rtol=1e-14)
    scalar = LegendreExpansion(coefficients[:, :, 0], T).integrate(b=1.25)
    assert scalar.shape == () and float(scalar) == pytest.approx(exact(0.0, 1.25)[0], rel=1e-14)


def test_projection_converges_like_h_to_the_degree_plus_one():
    def f(t):
        return np.stack([np.sin(3 * t), np.exp(-t)], axis=1)

    for degree in (0, 1, 2, 3):
        errors = []
        for n_t in (8, 16, 32):
            projection = LegendreExpansion.project(f, degree, n_t, 2.0)
            assert projection.trailing_shape == (2,) and projection.degree == degree
            t = np.linspace(0, 2, 4001)
            errors.append(np.max(np.abs(projection(t) - f(t))))
        rates = [math.log2(errors[k] / errors[k + 1]) for k in range(2)]
        assert min(rates) > degree + 1 - 0.3, (degree, rates)
    # A polynomial of the degree is reproduced: the projection is exact for it.
    cubic = LegendreExpansion.project(lambda t: t**3 - 2 * t, 3, 5, 1.0, n_points=7)
    t = np.linspace(0, 1, 101)
    np.testing.assert_allclose(cubic(t), t**3 - 2 * t, atol=1e-14)


def test_from_lagrange_is_the_change_of_basis_bit_for_bit():
    degree, n_t, T = 3, 11, 1.5
    values = RNG.uniform(-1, 1, (n_t * degree + 1, 3, 2))
    expansion = LegendreExpansion.from_lagrange(values, degree, n_t, T)
    product = quorvel.lagrange_to_legendre_csr(degree, n_t) @ values.reshape(n_t * degree + 1, -1)
    assert expansion.coefficients.tobytes() == product.reshape(degree + 1, n_t, 3, 2).tobytes()
    # It interpolates: the expansion takes the node values at the nodes.
    nodes = np.array(quorvel.get_lagrange_points(degree, n_t, T))
    np.testing.assert_allclose(expansion(nodes[:-1]), values[:-1], atol=1e-13)
    np.testing.assert_allclose(expansion(nodes[1:], side="left"), values[1:], atol=1e-13)


def test_flat_dofs_and_space_time_solutions_wrap_without_reordering():
    degree, n_t, n = 2, 6, 4
    U = RNG.uniform(-1, 1, (n_t * (degree + 1), n))
    expansion = LegendreExpansion(U.reshape(degree + 1, n_t, -1), 3.0)
    assert repr(expansion) == "LegendreExpansion(degree=2, n_t=6, T=3.0, trailing_shape=(4,))"
    evaluator = quorvel.LegendreBasisEvaluator(degree, n_t, 3.0)
    times = RNG.uniform(0, 3, 50)
    for j in range(n):
        evaluator.set_dofs(U[:, j])
        assert expansion(times)[:, j].tobytes() == evaluator.evaluate(times).tobytes()
    # The object keeps its own copy, read-only from outside.
    U[:] = 0
    assert expansion(times).any()
    with pytest.raises(ValueError):
        expansion.coefficients[0, 0, 0] = 1.0
    assert (expansion.degree, expansion.n_t, expansion.T) == (2, 6, 3.0)


def test_layouts_out_and_pickling():
    coefficients = RNG.uniform(-1, 1, (3, 5, 2, 3))
    expansion = LegendreExpansion(np.asfortranarray(coefficients), 1.0)
    assert expansion.coefficients.tobytes() == np.ascontiguousarray(coefficients).tobytes()
    times = RNG.uniform(0, 1, (4, 6))
    expected = expansion(times)
    assert expected.shape == (4, 6, 2, 3) and expected.flags.c_contiguous
    for t in (np.asfortranarray(times), times[::-1, ::2][::-1], times.astype(np.float32).astype(np.float64)):
        assert expansion(t).tobytes() == expansion(np.ascontiguousarray(t)).tobytes()
    assert expansion(0.5).shape == (2, 3)
    # out: any strides, filled and returned
    backing = np.full((8, 6, 3, 2), np.nan)
    out = backing[::2].transpose(0, 1, 3, 2)
    assert expansion(times, out=out) is out and out.tobytes() == expected.tobytes()
    # Scalar expansions keep the times' memory order.
    scalar = LegendreExpansion(coefficients[:, :, 0, 0], 1.0)
    assert scalar(np.asfortranarray(times)).flags.f_contiguous
    for clone in (pickle.loads(pickle.dumps(expansion)), copy.copy(expansion), copy.deepcopy(expansion)):
        assert repr(clone) == repr(expansion)
        assert clone.coefficients.tobytes() == expansion.coefficients.tobytes()
        assert clone(times).tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda e: LegendreExpansion(np.ones(3), 1.0), ValueError, "coefficients must have shape"),
        (lambda e: LegendreExpansion(np.ones((0, 3)), 1.0), ValueError, "coefficients must have shape"),
        (lambda e: LegendreExpansion([[1j]], 1.0), TypeError, "coefficients must be real, got complex128"),
        (lambda e: LegendreExpansion(np.ones((2, 3)), -1.0), ValueError, "T must be positive and finite, got -1.0"),
        (lambda e: LegendreExpansion(np.ones((2, 3)), "1"), TypeError, "T must be a real number, got str"),
        (lambda e: LegendreExpansion(np.ones((2, 3)), 5e-324), ValueError, "T must give a normal interval length"),
        (lambda e: LegendreExpansion(np.ones((2, 3)), 1.7e308), ValueError, "T must leave the sum a + b"),
        (lambda e: LegendreExpansion.project(np.sin, 1, 2, 1e308 * 3), ValueError, "T must be positive and finite"),
        (lambda e: e([0.5], side="up"), ValueError, "side must be 'left' or 'right', got 'up'"),
        (lambda e: e([0.5], side=1), TypeError, "side must be a str, got int"),
        (lambda e: e([0.5], intervals=[0.5]), TypeError, "intervals must hold integers, got float64"),
        (lambda e: e([0.5], intervals=[True]), TypeError, "intervals must hold integers, got bool"),
        (lambda e: e([0.5], intervals=[3]), ValueError, "intervals must lie in [0, n_t) = [0, 3), got 3"),
        (lambda e: e([0.5], intervals=[-1]), ValueError, "intervals must lie in [0, n_t) = [0, 3), got -1"),
        (lambda e: e([0.5, 0.6], intervals=[0]), ValueError, "intervals must have shape (2,), got (1,)"),
        (lambda e: e([0.5], derivative=-1), ValueError, "derivative must be at least 0, got -1"),
        (lambda e: e([0.5], out=np.empty(1)), ValueError, "out must have shape (1, 2), got (1,)"),
        (lambda e: e([0.5], out=np.empty((1, 2), np.float32)), TypeError, "out must have dtype float64, got float32"),
        (lambda e: e(["a"]), TypeError, "t must be real, got <U1"),
        (lambda e: e(), TypeError, "LegendreExpansion.__call__() missing 1 required positional argument: 't'"),
        (lambda e: e(0.5, 1), TypeError, "LegendreExpansion.__call__() takes 1 positional argument but 2 were given"),
        (lambda e: e.derivative(-1), ValueError, "m must be at least 0, got -1"),
        (lambda e: e.integrate(-0.5), ValueError, "a must lie in [0, T], got -0.5"),
        (lambda e: e.integrate(0.0, 7), ValueError, "b must lie in [0, T], got 7"),
        (lambda e: LegendreExpansion.project(3, 1, 2, 1.0), TypeError, "f must be callable, got int"),
        (
            lambda e: LegendreExpansion.project(lambda t: t[:-1], 1, 2, 1.0),
            ValueError,
            "f(t) must have shape (4, ...), got (3,)",
        ),
        (lambda e: LegendreExpansion.project(lambda t: t * 1j, 1, 2, 1.0), TypeError, "f(t) must be real"),
        (lambda e: LegendreExpansion.project(np.sin, 1, 2, 1.0, n_points=0), ValueError, "n_points must be at least 1"),
        (
            lambda e: LegendreExpansion.from_lagrange(np.ones(4), 2, 2, 1.0),
            ValueError,
            "values must have shape (5, ...), got (4,)",
        ),
        (lambda e: LegendreExpansion.from_lagrange(np.ones(3), 0, 2, 1.0), ValueError, "degree must be at least 1"),
    ],
)
def test_bad_arguments_are_named(call, error, message):
    expansion = LegendreExpansion(np.ones((2, 3, 2)), 1.5)
    with pytest.raises(error) as info:
        call(expansion)
    assert str(info.value).startswith(message)
    assert type(info.value) is error


def test_nothing_is_written_to_out_on_failure():
    expansion = LegendreExpansion(np.ones((2, 3)), 1.0)
    out = np.full(4, 7.0)
    with pytest.raises(ValueError):
        expansion(np.zeros(4), intervals=[0, 1, 2, 3], out=out)
    assert (out == 7.0).all()


def test_documented_surface():
    assert LegendreExpansion.project.__text_signature__ == "($type, f, degree, n_t, T, *, n_points=None)"
    assert LegendreExpansion.derivative.__text_signature__ == "($self, m=1)"
    assert LegendreExpansion.integrate.__text_signature__ == "($self, a=0.0, b=None)"
    assert LegendreExpansion.__text_signature__ == "(coefficients, T)"
    assert hashlib.sha256(LegendreExpansion.__doc__.encode()).digest()  # a body after the signature
    assert "side='left'" in LegendreExpansion.__doc__
