import os
import re
import struct
from fractions import Fraction

import numpy as np
import pytest
import scipy.sparse
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

import quorvel
from quorvel import lagrange_to_legendre_csr

# `make test-long` sets QUORVEL_LONG=1: tests marked `long` run, and property
# tests draw many more examples.
LONG = os.environ.get("QUORVEL_LONG") == "1"


def _asan_loaded() -> bool:
    try:
        with open("/proc/self/maps") as maps:
            return any("libasan" in line for line in maps)
    except OSError:
        return False


# Under AddressSanitizer a refused operator new aborts the process instead of
# throwing std::bad_alloc, and the sanitizer's shadow memory leaves no room for
# an address-space limit; tests that need a refusing allocator are skipped there.
SANITIZED = _asan_loaded()

# The property tests read the diagnostics of each example through a function-scoped fixture.
_HEALTH = [HealthCheck.too_slow, HealthCheck.function_scoped_fixture]
settings.register_profile("normal", max_examples=60, deadline=None, suppress_health_check=_HEALTH)
settings.register_profile("long", max_examples=3000, deadline=None, suppress_health_check=_HEALTH)
settings.load_profile("long" if LONG else "normal")


_RELIABILITY_LINES = []


def reliability_log(line: str) -> None:
    """Records a measured figure (counts, durations) for the run's closing summary."""
    _RELIABILITY_LINES.append(line)


def pytest_terminal_summary(terminalreporter):
    if _RELIABILITY_LINES:
        terminalreporter.section("reliability figures")
        for line in _RELIABILITY_LINES:
            terminalreporter.write_line(line)


def pytest_configure(config):
    config.addinivalue_line("markers", "long: runs only under `make test-long` (QUORVEL_LONG=1)")
    config.addinivalue_line(
        "markers", "refusable_allocation: needs an allocator that refuses (skipped under AddressSanitizer)"
    )


def pytest_collection_modifyitems(config, items):
    for item in items:
        if "long" in item.keywords and not LONG:
            item.add_marker(pytest.mark.skip(reason="long check: run with `make test-long`"))
        if "refusable_allocation" in item.keywords and SANITIZED:
            item.add_marker(pytest.mark.skip(reason="AddressSanitizer aborts on refused allocations"))


def bits(x: float) -> bytes:
    """The IEEE-754 bytes of a double: equality of bits, signed zeros and NaNs included."""
    return struct.pack("<d", x)


def assert_bits_equal(actual, expected):
    assert len(actual) == len(expected)
    for i, (a, e) in enumerate(zip(actual, expected)):
        assert bits(a) == bits(e), f"index {i}: {a!r} != {e!r}"


def exact_legendre(k: int, x: Fraction) -> Fraction:
    """P_k(x) in exact rational arithmetic (Bonnet's recurrence)."""
    p_prev, p = Fraction(1), x
    if k == 0:
        return p_prev
    for m in range(1, k):
        p_prev, p = p, ((2 * m + 1) * x * p - m * p_prev) / (m + 1)
    return p


def exact_legendre_derivative(k: int, x: Fraction) -> Fraction:
    """P'_k(x) exactly, from the coefficients of P_k."""
    # Differentiate the monomial expansion built by the same recurrence on polynomials.
    prev, cur = [Fraction(1)], [Fraction(0), Fraction(1)]
    if k == 0:
        return Fraction(0)
    for m in range(1, k):
        nxt = [Fraction(0)] * (m + 2)
        for i, c in enumerate(cur):
            nxt[i + 1] += (2 * m + 1) * c / (m + 1)
        for i, c in enumerate(prev):
            nxt[i] -= m * c / (m + 1)
        prev, cur = cur, nxt
    return sum(i * c * x ** (i - 1) for i, c in enumerate(cur) if i > 0)


def legendre_coefficients(k):
    """The monomial coefficients of P_k, exactly (Bonnet's recurrence on polynomials)."""
    prev, cur = [Fraction(1)], [Fraction(0), Fraction(1)]
    if k == 0:
        return prev
    for n in range(1, k):
        nxt = [Fraction(0)] * (n + 2)
        for i, c in enumerate(cur):
            nxt[i + 1] += Fraction(2 * n + 1, n + 1) * c
        for i, c in enumerate(prev):
            nxt[i] -= Fraction(n, n + 1) * c
        prev, cur = cur, nxt
    return cur


def exact_derivative(k, m, x):
    """The m-th x-derivative of P_k at the rational x, from P_k's monomial coefficients."""
    coefficients = legendre_coefficients(k)
    for _ in range(m):
        coefficients = [i * c for i, c in enumerate(coefficients)][1:]
    return sum((c * x**i for i, c in enumerate(coefficients)), Fraction(0))


# ---------------------------------------------------------------- arguments


class Index:
    """A number that converts only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def wrong_length(given, expected):
    """The message of set_dofs given `given` DOFs where `expected` are needed."""
    return (
        "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length\n"
        f"  left: {given}\n right: {expected}"
    )


# ---------------------------------------------------------------- hypothesis strategies

any_float = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
coefficients = st.lists(st.fractions(-4, 4, max_denominator=7), min_size=1, max_size=9)


# ---------------------------------------------------------------- triplets and polynomials, exactly


def assert_triplets(triplets, nrows, ncols):
    """(rows, cols, values) of an nrows x ncols matrix: sorted by row then column, unique, in range, typed."""
    rows, cols, vals = triplets
    assert len(rows) == len(cols) == len(vals)
    pairs = list(zip(rows, cols))
    assert all(p < q for p, q in zip(pairs, pairs[1:])), "not sorted by row then column, or repeated"
    assert all(0 <= r < nrows and 0 <= c < ncols for r, c in pairs)
    assert all(type(r) is int and type(c) is int and type(v) is float for r, c, v in zip(rows, cols, vals))


def as_sparse(triplets, shape):
    rows, cols, vals = triplets
    return scipy.sparse.coo_matrix((vals, (rows, cols)), shape=shape).tocsr()


def sparse_times(triplets, vector, nrows):
    out = [Fraction(0)] * nrows
    for r, c, v in zip(*triplets):
        out[r] += Fraction(v) * vector[c]
    return out


def polynomial(coefficients, t):
    return sum(c * t**k for k, c in enumerate(coefficients))


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


# ---------------------------------------------------------------- sparse arrays


def triplets_of(matrix):
    rows = np.repeat(np.arange(matrix.shape[0]), np.diff(matrix.indptr))
    return rows.tolist(), matrix.indices.tolist(), matrix.data.tobytes()


def assert_mirrors(matrix, triplets, shape):
    assert type(matrix) is scipy.sparse.csr_array
    assert matrix.shape == shape
    rows, cols, values = triplets
    assert triplets_of(matrix) == (rows, cols, np.array(values, dtype=np.float64).tobytes())
    # SciPy's own verdict on a fresh matrix of the same arrays, not the flag we set.
    fresh = scipy.sparse.csr_array((matrix.data, matrix.indices, matrix.indptr), shape=shape)
    assert fresh.has_canonical_format and matrix.has_canonical_format


def owner_of(array):
    """The object at the end of the array's base chain (through memoryviews)."""
    while isinstance(array, (np.ndarray, memoryview)):
        array = array.obj if isinstance(array, memoryview) else array.base
    return array


def native_buffer_type():
    return type(owner_of(lagrange_to_legendre_csr(1, 1).data))


@pytest.fixture
def panic():
    """The PanicException class, from the unpickling helper: no failure, so no diagnostic."""
    return type(quorvel._panic_from_pickle("probe"))


# ---------------------------------------------------------------- diagnostics
#
# Every internal failure writes a diagnostic to standard error. Tests that
# provoke failures read theirs with the `diagnostics` fixture and check them;
# a passing test that leaves one behind unread fails, so an unexpected
# diagnostic always shows.

_DIAGNOSTIC_HEAD = re.compile(r"^quorvel: internal failure in thread '(?:main|<unnamed>)' at [^\n]+:\d+:\d+:\n", re.M)


def diagnostic_messages(text: str) -> list[str]:
    """The messages of the diagnostics that make up text, in order; text holding anything else fails."""
    heads = list(_DIAGNOSTIC_HEAD.finditer(text))
    assert text.startswith(heads[0].group()) if heads else text == "", f"not a diagnostic: {text[:300]!r}"
    ends = [head.start() for head in heads[1:]] + [len(text)]
    bodies = [text[head.end() : end] for head, end in zip(heads, ends)]
    assert all(body.endswith("\n") for body in bodies), f"unterminated diagnostic: {text[-300:]!r}"
    return [body[:-1] for body in bodies]


@pytest.fixture
def diagnostics(capfd):
    """Reads what was written to standard error since the last read, as diagnostic messages."""
    return lambda: diagnostic_messages(capfd.readouterr().err)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if not report.passed:
        return
    for title, text in report.sections:
        if title == f"Captured stderr {report.when}" and _DIAGNOSTIC_HEAD.search(text):
            report.outcome = "failed"
            report.longrepr = f"unexpected internal-failure diagnostics on standard error:\n{text}"
            return
