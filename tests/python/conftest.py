import os
import re
import struct
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, settings

import quorvel

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
