"""quadrature: Gauss, right Radau and Lobatto rules repeated on the uniform mesh of [0, T]."""

import math
import sys
from fractions import Fraction

import mpmath
import numpy as np
import pytest
from conftest import native_buffer_type, owner_of

import quorvel

EPS = 2.0**-52
RULES = ["gauss", "radau", "lobatto"]
EXACT_DEGREE = {"gauss": lambda n: 2 * n - 1, "radau": lambda n: 2 * n - 2, "lobatto": lambda n: 2 * n - 3}


def smallest(rule):
    return 2 if rule == "lobatto" else 1


# ---------------------------------------------------------------- exactness


@pytest.mark.parametrize("rule", RULES)
@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 8, 12])
def test_monomials_up_to_the_stated_degree_are_integrated_exactly(rule, n):
    if n < smallest(rule):
        pytest.skip("lobatto needs two points")
    # h = 0.75 is a power of two times 3: every mesh end h c and h + h c is exact, so
    # the exact integral over the mesh is T^(k+1) / (k+1).
    T, n_t = 3.0, 4
    points, weights = quorvel.quadrature(n, n_t, T, rule=rule)
    t, w = [Fraction(x) for x in points], [Fraction(x) for x in weights]
    degree = EXACT_DEGREE[rule](n)
    for k in range(degree + 1):
        approximation = sum(wi * ti**k for wi, ti in zip(w, t))
        exact = Fraction(3) ** (k + 1) / (k + 1)
        error = abs(approximation - exact) / exact
        # Nodes and weights rounded to double: a few ulp per power of t.
        assert error <= 2 * (k + 1) * EPS, (k, float(error))


# ---------------------------------------------------------------- against mpmath

mpmath.mp.dps = 40


def legendre(m, x):
    """P_m(x), P'_m(x), P_(m-1)(x) and P'_(m-1)(x) in mpmath, m >= 1."""
    p_below, p, dp_below, dp = mpmath.mpf(1), x, mpmath.mpf(0), mpmath.mpf(1)
    for k in range(1, m):
        p_below, p, dp_below, dp = p, ((2 * k + 1) * x * p - k * p_below) / (k + 1), dp, (k + 1) * p + x * dp
    return p, dp, p_below, dp_below


def defining_function(rule, n, x):
    """f and f' whose simple zeros include the rule's nodes other than its fixed ends."""
    if rule == "gauss":  # P_n
        p, dp, _, _ = legendre(n, x)
        return p, dp
    if rule == "radau":  # P_(n-1) - P_n
        p, dp, p_below, dp_below = legendre(n, x)
        return p_below - p, dp_below - dp
    p, dp, _, _ = legendre(n - 1, x)  # P'_(n-1), and P''_(n-1) by Legendre's equation
    return dp, (2 * x * dp - (n - 1) * n * p) / (1 - x * x)


def exact_weight(rule, n, x):
    """Gauss and Radau: the Christoffel number 1 / sum (k + 1/2) P_k(x)^2 over k < n, which
    holds for any n-point rule exact to degree 2n - 2; Lobatto: 2 / (n (n - 1) P_(n-1)(x)^2)."""
    if rule == "lobatto":
        return 2 / (n * (n - 1) * legendre(n - 1, x)[0] ** 2)
    values = [mpmath.mpf(1), x]
    for k in range(1, n - 1):
        values.append(((2 * k + 1) * x * values[k] - k * values[k - 1]) / (k + 1))
    return 1 / sum((k + mpmath.mpf(1) / 2) * values[k] ** 2 for k in range(n))


def exact_rule(rule, n, approximate_nodes):
    """The nodes refined by Newton's method at 40 digits from ours; they must come out as
    distinct zeros, so that they are all of them."""
    fixed = {"gauss": [], "radau": [n - 1], "lobatto": [0, n - 1]}[rule]
    nodes = []
    for i, guess in enumerate(approximate_nodes):
        x = mpmath.mpf(guess)
        if i not in fixed:
            for _ in range(50):
                f, df = defining_function(rule, n, x)
                x -= f / df
                if abs(f / df) < mpmath.mpf(10) ** -35:
                    break
            assert abs(defining_function(rule, n, x)[0]) < mpmath.mpf(10) ** -25
        nodes.append(x)
    assert all(a < b for a, b in zip(nodes, nodes[1:])) and -1 <= nodes[0] and nodes[-1] <= 1
    return nodes, [exact_weight(rule, n, x) for x in nodes]


LONG_SIZES = [pytest.param(n, marks=pytest.mark.long) for n in (257, 1024)]


@pytest.mark.parametrize("rule", RULES)
@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 7, 10, 16, 25, 33, 48, 64, *LONG_SIZES])
def test_reference_nodes_and_weights_are_within_an_ulp_of_mpmath(rule, n):
    if n < smallest(rule):
        pytest.skip("lobatto needs two points")
    # On [0, 2] with one interval the points are 1 + x and the weights the reference ones.
    points, weights = quorvel.quadrature(n, 1, 2.0, rule=rule)
    nodes, exact_weights = exact_rule(rule, n, points - 1.0)
    node_errors = [abs(mpmath.mpf(p) - (1 + x)) / (2 * EPS) for p, x in zip(points, nodes)]
    weight_errors = [abs(mpmath.mpf(w) - e) / e / EPS for w, e in zip(weights, exact_weights)]
    assert max(node_errors) <= 1.0  # in ulp of the interval's right end, 2
    assert max(weight_errors) <= (1.0 if n <= 257 else 3.0)  # relative
    assert abs(math.fsum(weights) - 2.0) <= 2 * EPS * n
    if rule != "radau":  # symmetric: the weights mirror exactly
        assert weights[::-1].tobytes() == weights.tobytes()


# ---------------------------------------------------------------- the mesh


@pytest.mark.parametrize(
    ("rule", "n", "n_t", "T"),
    [
        ("gauss", 3, 7, 1.0),
        ("radau", 1, 10, 0.1),
        ("radau", 4, 3, 1.0),
        ("lobatto", 2, 5, 2.2),
        ("lobatto", 6, 9, 1e-3),
        ("radau", 3, 100_003, 1.0),  # on the worker pool
        ("lobatto", 3, 4_000, 7e300),
    ],
)
def test_mesh_layout(rule, n, n_t, T):
    points, weights = quorvel.quadrature(n, n_t, T, rule=rule)
    for array in (points, weights):
        assert array.dtype == np.float64 and array.shape == (n_t * n,) and array.flags.c_contiguous
        assert array.flags.writeable
        # Memory of its own: allocated for this result alone, and freed with it.
        assert type(owner_of(array)) is native_buffer_type()
    assert not np.shares_memory(points, weights)
    # The library's interval c: a = h c, b = h + a, computed with the same operations.
    h = T / n_t
    a = h * np.arange(n_t, dtype=np.float64)
    b = h + a
    t, w = points.reshape(n_t, n), weights.reshape(n_t, n)
    reference_points, reference_weights = quorvel.quadrature(n, 1, 1.0, rule=rule)  # (1 + x) / 2, w / 2
    assert t.tobytes() == (a[:, None] + reference_points * h).tobytes()
    assert w.tobytes() == np.tile(reference_weights * 2.0 * (h * 0.5), (n_t, 1)).tobytes()
    assert np.all(np.diff(t, axis=1) > 0) and np.all(t >= a[:, None]) and np.all(t <= b[:, None])
    assert (t[:, -1].tobytes() == b.tobytes()) == (rule != "gauss")
    assert (t[:, 0].tobytes() == a.tobytes()) == (rule == "lobatto")
    assert abs(math.fsum(weights) - T) <= 4 * n * EPS * T


# ---------------------------------------------------------------- errors


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((0, 1, 1.0), {}, ValueError, "n_points must be at least 1, got 0"),
        ((1025, 1, 1.0), {}, ValueError, "n_points must be at most 1024, got 1025"),
        ((2.0, 1, 1.0), {}, TypeError, "n_points must be an int, got float"),
        ((2, 0, 1.0), {}, ValueError, "n_t must be at least 1, got 0"),
        ((2, 2**32, 1.0), {}, ValueError, "n_t must be at most 4294967295, got 4294967296"),
        ((2, "3", 1.0), {}, TypeError, "n_t must be an int, got str"),
        ((2, 3, "1"), {}, TypeError, "T must be a real number, got str"),
        ((2, 3, 0), {}, ValueError, "T must be positive and finite, got 0"),
        ((2, 3, -1.5), {}, ValueError, "T must be positive and finite, got -1.5"),
        ((2, 3, math.nan), {}, ValueError, "T must be positive and finite, got nan"),
        (
            (2, 3, sys.float_info.max),
            {},
            ValueError,
            "T must leave the mesh's last end h + h * (n_t - 1) finite, got 1.7976931348623157e+308 with n_t = 3",
        ),
        (
            (2, 2, 1.5e308),
            {},
            ValueError,
            "T must leave the sum a + b of the last interval's ends a = h * (n_t - 1) and b = h + a finite, "
            "got 1.5e+308 with n_t = 2",
        ),
        (
            (3, 3, 5e-324),
            {},
            ValueError,
            "T must give a normal interval length h = T / n_t (at least 2.2250738585072014e-308), got 5e-324 with n_t = 3",
        ),
        ((3, 3, 10**400), {}, ValueError, "T must be within the range of float64, got 1" + "0" * 400),
        ((2, 3, 1.0), {"rule": "simpson"}, ValueError, "rule must be 'gauss', 'radau' or 'lobatto', got 'simpson'"),
        ((2, 3, 1.0), {"rule": None}, TypeError, "rule must be a str, got NoneType"),
        ((1, 3, 1.0), {"rule": "lobatto"}, ValueError, "n_points must be at least 2 for rule 'lobatto', got 1"),
        ((2, 3, 1.0, "gauss"), {}, TypeError, "quadrature() takes 3 positional arguments but 4 were given"),
        ((2, 3), {}, TypeError, "quadrature() missing 1 required positional argument: 'T'"),
        ((2, 3, 1.0), {"kind": "gauss"}, TypeError, "quadrature() got an unexpected keyword argument 'kind'"),
    ],
)
def test_errors_name_the_argument_and_what_was_received(args, kwargs, error, message, diagnostics):
    with pytest.raises(error) as info:
        quorvel.quadrature(*args, **kwargs)
    assert str(info.value) == message
    assert diagnostics() == []
