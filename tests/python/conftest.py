import struct
from fractions import Fraction

import pytest

import quorvel


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


@pytest.fixture
def panic():
    """The PanicException class, obtained from a failing call."""
    try:
        quorvel.LegendreBasis(0, 1, 1.0).evaluate_at(0.0, [])
    except BaseException as e:  # noqa: BLE001 - the class is what we want
        return type(e)
    raise AssertionError("expected a PanicException")
