"""LegendreBasisEvaluator: stored DOFs, single and batch evaluation, evaluate on NumPy arrays, buffers,
borrows, the worker pool; and both classes as Python objects (repr, attributes, pickling, copying)."""

import array
import copy
import ctypes
import math
import multiprocessing
import operator
import os
import pickle
import random
import struct
import subprocess
import sys
import threading
import time
import tracemalloc
from fractions import Fraction

import numpy as np
import pytest
from conftest import any_float, assert_bits_equal, bits, exact_derivative, wrong_length
from hypothesis import given
from hypothesis import strategies as st
from numpy.lib.stride_tricks import as_strided

from quorvel import LegendreBasis, LegendreBasisEvaluator

# The argument rules every callable shares are tested in test_module.py; hostile arguments, sizes beyond memory,
# threads racing set_dofs, forks and leaks under robustness/.


@pytest.fixture
def linear():
    ev = LegendreBasisEvaluator(1, 2, 2.0)
    ev.set_dofs([1, 2, 3, 4])
    return ev


CANONICAL_NAN = bits(float("nan"))


def random_evaluator(degree, n_t, T, seed=0):
    ev = LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs(np.random.default_rng(seed).uniform(-1.0, 1.0, n_t * (degree + 1)).tolist())
    return ev


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


SHARED = "out must not have elements that share memory, got strides {}"
NAN_WITH_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0xFFF8_0000_0000_BEEF))[0]  # negative, payload 0xBEEF
SPACES = [
    (3, 1000, 1.0),
    (0, 1, 0.5),
    (2, 3, -0.0),
    (2, 5, 5e-324),
    (1, 2, math.inf),
    (1, 2, -math.inf),
    (1, 2, NAN_WITH_PAYLOAD),
    (4, 0, 2.0),  # no intervals: no DOFs at all
]
SPECIAL = [0.0, -0.0, 5e-324, -1.7976931348623157e308, math.inf, -math.inf, NAN_WITH_PAYLOAD, math.nan]


def filled(degree, n_t, T):
    """An evaluator whose DOFs mix ordinary values with the special ones, NaN payloads included."""
    ev = LegendreBasisEvaluator(degree, n_t, T)
    n = n_t * (degree + 1)
    ev.set_dofs([SPECIAL[i // 7 % len(SPECIAL)] if i % 7 == 3 else math.sin(i + 1) for i in range(n)])
    return ev


def test_class_metadata():
    cls = LegendreBasisEvaluator
    assert cls.__text_signature__ == "(degree, n_t, T)"
    assert cls.__doc__ == "Class to evaluate legendre basis more often without copying the dofs from python each time"
    for name, param in [
        ("set_dofs", "legendre_vals"),
        ("evaluate_at", "t"),
        ("evaluate_derivative_at", "t"),
        ("evaluate_many", "t_values"),
        ("evaluate_derivative_many", "t_values"),
    ]:
        assert getattr(cls, name).__text_signature__ == f"($self, {param})"
    # The original methods keep their order; additions come after them.
    assert [n for n in vars(cls) if not n.startswith("__")][:5] == [
        "set_dofs",
        "evaluate_at",
        "evaluate_derivative_at",
        "evaluate_many",
        "evaluate_derivative_many",
    ]


def test_new_evaluator_is_zero():
    ev = LegendreBasisEvaluator(3, 5, 1.0)
    assert ev.evaluate_at(0.3) == 0.0
    assert ev.evaluate_derivative_at(0.7) == 0.0
    assert ev.evaluate_many(np.linspace(0, 1, 3000)) == [0.0] * 3000


def test_documented_values(linear):
    assert [linear.evaluate_at(t) for t in (0.5, 1.5, 1.0, 0.0, 2.0)] == [1.0, 2.0, -2.0, -2.0, 6.0]
    assert [linear.evaluate_derivative_at(t) for t in (0.5, 1.5)] == [6.0, 8.0]
    grid = np.array([[0.5, 1.5], [1.0, 2.0]])
    assert linear.evaluate_many(grid) == [1.0, 2.0, -2.0, 6.0]
    assert linear.evaluate_many(grid.T) == [1.0, -2.0, 2.0, 6.0]
    assert linear.evaluate_many(np.array([], dtype=np.float64)) == []
    assert linear.evaluate_derivative_many(grid) == [6.0, 8.0, 8.0, 8.0]
    assert linear.evaluate_many(t_values=grid[:, ::-1]) == [2.0, 1.0, 6.0, -2.0]


def test_zero_intervals(panic, diagnostics):
    ev = LegendreBasisEvaluator(2, 0, 1.0)
    ev.set_dofs([])
    for call in (lambda: ev.evaluate_at(0.5), lambda: ev.evaluate_derivative_many(np.zeros(3))):
        with pytest.raises(panic, match=r"^Matrix slicing out of bounds\.$"):
            call()
        assert diagnostics() == ["Matrix slicing out of bounds."]
    assert ev.evaluate_many(np.zeros(0)) == []


# ---------------------------------------------------------------- set_dofs


def test_set_dofs_length_is_checked_and_old_dofs_stay(linear, panic, diagnostics):
    with pytest.raises(panic) as info:
        linear.set_dofs([1, 2, 3])
    assert str(info.value) == (
        "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length\n"
        "  left: 3\n right: 4"
    )
    assert diagnostics() == [str(info.value)]
    assert linear.evaluate_at(0.5) == 1.0
    with pytest.raises(TypeError, match=r"^argument 'legendre_vals': Can't extract `str` to `Vec`$"):
        linear.set_dofs("abcd")
    with pytest.raises(TypeError, match=r"^argument 'legendre_vals': must be real number, not str$"):
        linear.set_dofs([1, 2, 3, "x"])
    assert linear.evaluate_at(0.5) == 1.0
    linear.set_dofs((5, 6, 7, 8))
    assert linear.evaluate_at(0.5) == 5.0
    linear.set_dofs(np.array([9.0, 10.0, 11.0, 12.0]))
    assert linear.evaluate_at(1.5) == 10.0


def sources(values):
    """The same float64 values as objects read directly (first four) and item by item (the rest)."""
    data = np.array(values)

    class Subclass(np.ndarray):
        pass

    yield "ndarray", data
    yield "array.array", array.array("d", values)
    yield "memoryview", memoryview(data)
    yield "misaligned ndarray", np.frombuffer(b"\0\0\0\0" + data.tobytes(), offset=4)
    yield "list", list(values)
    yield "strided ndarray", np.stack([data, data], axis=1)[:, 0]
    yield "big-endian ndarray", data.astype(">f8")
    yield "ndarray subclass", data.view(Subclass)
    yield "object ndarray", data.astype(object)


SOURCES = list(sources(SPECIAL + [1.25, -3.5, 1e-300, 0.1]))


@pytest.mark.parametrize(("name", "source"), SOURCES, ids=[name for name, _ in SOURCES])
def test_every_kind_of_sequence_stores_the_same_bits(name, source):
    expected = struct.pack("<12d", *SPECIAL, 1.25, -3.5, 1e-300, 0.1)
    ev = LegendreBasisEvaluator(2, 4, 1.0)
    ev.set_dofs(source)
    assert ev.dofs.tobytes() == expected
    basis, reference = LegendreBasis(2, 4, 1.0), list(struct.unpack("<12d", expected))
    for t in (0.1, 0.4, 0.8):
        assert bits(basis.evaluate_at(t, source)) == bits(basis.evaluate_at(t, reference))


def released_view():
    view = memoryview(np.zeros(4))
    view.release()
    return view


@pytest.mark.parametrize(
    ("make", "exc", "message"),
    [
        (
            lambda: np.zeros((2, 2)),
            TypeError,
            "argument 'legendre_vals': only 0-dimensional arrays can be converted to Python scalars",
        ),
        (lambda: np.array(1.0), TypeError, "argument 'legendre_vals': iteration over a 0-d array"),
        (lambda: memoryview((ctypes.c_double * 4)()), NotImplementedError, "memoryview: unsupported format <d"),
        (released_view, ValueError, "operation forbidden on released memoryview object"),
        (
            lambda: np.array(["1", "2", "3", "4"]),
            TypeError,
            "argument 'legendre_vals': must be real number, not numpy.str_",
        ),
        (lambda: np.zeros(3), "panic", wrong_length(3, 4)),
    ],
)
def test_refusals_stay_what_they_were(make, exc, message, panic, diagnostics):
    ev = filled(1, 2, 1.0)
    before = ev.dofs.tobytes()
    exc = panic if exc == "panic" else exc
    with pytest.raises(exc) as info:
        ev.set_dofs(make())
    assert type(info.value) is exc and str(info.value) == message
    assert ev.dofs.tobytes() == before
    assert diagnostics() == ([message] if exc is panic else [])


class CallsBack:
    """A DOF whose conversion to float calls back into the evaluator."""

    def __init__(self, ev, seen):
        self.ev, self.seen = ev, seen

    def __float__(self):
        for call in (
            lambda: self.ev.evaluate_at(0.5),
            lambda: self.ev.evaluate_derivative_at(0.5),
            lambda: self.ev.evaluate_many(np.zeros(2)),
            lambda: self.ev.evaluate_derivative_many(np.zeros(2)),
            lambda: self.ev.set_dofs([0, 0, 0, 0]),
        ):
            try:
                call()
            except RuntimeError as e:
                self.seen.append(str(e))
        return 7.0


def test_calls_during_set_dofs_conversion_are_refused(linear):
    seen = []
    linear.set_dofs([CallsBack(linear, seen), 2, 3, 4])
    assert seen == ["Already mutably borrowed"] * 4 + ["Already borrowed"]
    assert linear.evaluate_at(0.5) == 7.0


# ---------------------------------------------------------------- buffers of the batch methods


def aligned_float64_buffers():
    data = np.arange(12, dtype=np.float64) / 7.0
    c_array = (ctypes.c_double * 12)(*data.tolist())
    yield "ndarray 3-D", data.reshape(2, 3, 2), data.tolist()
    yield "strided slice", data[::3], data[::3].tolist()
    yield "fortran order", np.asfortranarray(data.reshape(3, 4)), data.reshape(3, 4).ravel().tolist()
    yield "read-only", np.frombuffer(data.tobytes(), dtype=np.float64), data.tolist()
    yield "array.array", array.array("d", data.tolist()), data.tolist()
    yield "memoryview", memoryview(array.array("d", data.tolist())), data.tolist()
    yield "memoryview of ctypes", memoryview(c_array), data.tolist()
    yield "little-endian dtype", data.astype("<f8"), data.tolist()
    yield "bytes cast to d", memoryview(data.tobytes()).cast("d"), data.tolist()


@pytest.mark.parametrize(("name", "buffer", "times"), list(aligned_float64_buffers()), ids=lambda v: str(v)[:20])
def test_buffers_are_read_in_row_major_order(name, buffer, times):
    ev = LegendreBasisEvaluator(2, 3, 2.0)
    ev.set_dofs([0.5 * i - 1 for i in range(9)])
    assert ev.evaluate_many(buffer) == [ev.evaluate_at(t) for t in times]
    assert ev.evaluate_derivative_many(buffer) == [ev.evaluate_derivative_at(t) for t in times]


def misaligned():
    raw = np.zeros(10, dtype=np.float64)
    return np.frombuffer(raw.data, dtype=np.uint8)[4:68].view(np.float64)


@pytest.mark.parametrize(
    ("make", "exc", "message"),
    [
        (lambda: [0.5], TypeError, "argument 't_values': a bytes-like object is required, not 'list'"),
        (lambda: 0.5, TypeError, "argument 't_values': a bytes-like object is required, not 'float'"),
        (lambda: (ctypes.c_double * 3)(), BufferError, "strides is null"),
        (lambda: np.zeros(3, dtype=np.float32), BufferError, "buffer contents are not compatible with f64"),
        (lambda: b"\0" * 16, BufferError, "buffer contents are not compatible with f64"),
        (lambda: np.zeros(3, dtype=">f8"), BufferError, "buffer contents are not compatible with f64"),
        (lambda: np.zeros(3, dtype=np.int64), BufferError, "buffer contents are not compatible with f64"),
        (lambda: np.zeros(3, dtype=np.complex64), BufferError, "buffer contents are not compatible with f64"),
        (lambda: memoryview(b"\0" * 16).cast("Q"), BufferError, "buffer contents are not compatible with f64"),
        (misaligned, BufferError, "buffer contents are insufficiently aligned for f64"),
    ],
)
def test_buffer_refusals(make, exc, message):
    ev = LegendreBasisEvaluator(1, 2, 2.0)
    obj = make()
    for method in (ev.evaluate_many, ev.evaluate_derivative_many):
        with pytest.raises(exc) as info:
            method(obj)
        assert type(info.value) is exc and str(info.value) == message
    if exc is TypeError:
        assert isinstance(info.value.__cause__, TypeError)
    # Views are released: a bytearray can be resized again afterwards.
    holder = bytearray(16)
    with pytest.raises(BufferError):
        ev.evaluate_many(holder)
    holder.extend(b"x")


def test_buffer_released_after_success():
    holder = bytearray(8 * 4)
    ev = LegendreBasisEvaluator(1, 2, 2.0)
    assert ev.evaluate_many(memoryview(holder).cast("d")) == [0.0] * 4
    holder.extend(b"abc")  # would raise BufferError if a view were still exported


def test_zero_dimensional_array():
    ev = LegendreBasisEvaluator(0, 1, 1.0)
    ev.set_dofs([3.0])
    scalar = np.array(0.5)
    try:
        result = ev.evaluate_many(scalar)
    except BufferError as e:
        assert str(e) == "shape is null"
    else:
        assert result == [3.0]


@pytest.mark.parametrize("n", [0, 1, 2047, 2048, 2049, 10_007])
@pytest.mark.parametrize("degree", [0, 1, 4])
def test_batch_equals_single_bit_for_bit(n, degree):
    rng = random.Random(n * 10 + degree)
    n_t, T = 13, 3.0
    ev = LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs([rng.uniform(-1, 1) for _ in range(n_t * (degree + 1))])
    times = [rng.uniform(-1.0, T + 1.0) for _ in range(n)]
    special = [math.nan, math.inf, -math.inf, 0.0, -0.0, T, 1e308, -1e308, 5e-324]
    times[: len(special)] = special[:n]
    arr = np.array(times, dtype=np.float64)
    values = [ev.evaluate_at(t) for t in times]
    slopes = [ev.evaluate_derivative_at(t) for t in times]
    assert_bits_equal(ev.evaluate_many(arr), values)
    assert_bits_equal(ev.evaluate_derivative_many(arr), slopes)
    assert_bits_equal(ev.evaluate(arr).tolist(), values)
    assert_bits_equal(ev.evaluate(arr, derivative=1).tolist(), slopes)


class TestLaws:
    """The law of the table above, drawn by hypothesis (in a class, as the two share a name)."""

    @given(
        degree=st.integers(0, 8),
        n_t=st.integers(1, 8),
        T=any_float,
        dofs_seed=st.lists(any_float, min_size=1, max_size=9),
        times=st.lists(any_float, max_size=40),
        n=st.sampled_from([0, 1, 7, 2047, 2048, 3001]),
    )
    def test_batch_equals_single_bit_for_bit(self, degree, n_t, T, dofs_seed, times, n):
        ev = LegendreBasisEvaluator(degree, n_t, T)
        count = n_t * (degree + 1)
        ev.set_dofs([dofs_seed[i % len(dofs_seed)] for i in range(count)])
        arr = np.resize(np.array(times, dtype=np.float64), (n,)) if times else np.zeros(n)
        listed = arr.tolist()
        assert_bits_equal(ev.evaluate_many(arr), [ev.evaluate_at(t) for t in listed])
        assert_bits_equal(ev.evaluate_derivative_many(arr), [ev.evaluate_derivative_at(t) for t in listed])


# ---------------------------------------------------------------- evaluate: NumPy arrays in and out


def exact_value(dofs, degree, n_t, h, t, m):
    """The m-th time derivative at t, located exactly (h a power of two, so the
    library's floor(t / h) is exact too)."""
    q = Fraction(t) / Fraction(h)
    c = min(max(math.floor(q), 0), n_t - 1)
    x = 2 * (Fraction(t) - c * Fraction(h)) / Fraction(h) - 1
    x = min(max(x, Fraction(-1)), Fraction(1))
    scale = (2 / Fraction(h)) ** m
    terms = [Fraction(dofs[c + n_t * k]) * exact_derivative(k, m, x) * scale for k in range(degree + 1)]
    return sum(terms, Fraction(0)), sum(abs(term) for term in terms)


@pytest.mark.parametrize("degree", [0, 1, 2, 3, 5, 8])
def test_every_order_against_exact_arithmetic(degree):
    n_t, T = 4, 1.0  # h = 0.25: mesh points and the location are exact
    h = T / n_t
    ev = random_evaluator(degree, n_t, T, seed=degree)
    dofs = np.random.default_rng(degree).uniform(-1.0, 1.0, n_t * (degree + 1)).tolist()
    mesh = [k * h for k in range(n_t + 1)]
    near = [math.nextafter(p, d) for p in mesh for d in (-math.inf, math.inf)]
    away = np.random.default_rng(7).uniform(0.0, T, 12).tolist()
    times = np.array(mesh + near + away + [-0.3, 1.7])
    for m in range(degree + 2):
        results = ev.evaluate(times, derivative=m).tolist()
        for t, r in zip(times.tolist(), results):
            exact, magnitude = exact_value(dofs, degree, n_t, h, t, m)
            # Correct to rounding: a few ulps of the terms' magnitude per operation.
            tolerance = 64 * (degree + 1) * (m + 1) * 2.0**-52 * float(magnitude)
            assert abs(Fraction(r) - exact) <= Fraction(tolerance) + Fraction(1, 10**300), (m, t, r, float(exact))
        if m > degree and m >= 2:
            assert all(bits(r) == bits(0.0) for r in results)


HUGE_MESHES = [(1, 2, 1.5e308), (4, 3, 1.7e308), (3, 7, 1.6e308), (2, 2, sys.float_info.max)]


def exact_on_mesh(dofs, degree, n_t, T, t, m):
    """The m-th time derivative at t, exactly, on the interval [a, b] = [h c, h + h c] as the library
    forms it in doubles, for any h: where a + b overflows the exact midpoint still exists."""
    h = T / n_t
    c = min(max(math.floor(t / h), 0), n_t - 1)
    a = h * c
    b = h + a
    x = (2 * Fraction(t) - Fraction(a) - Fraction(b)) / (Fraction(b) - Fraction(a))
    x = min(max(x, Fraction(-1)), Fraction(1))
    scale = (2 / Fraction(h)) ** m
    terms = [Fraction(dofs[c + n_t * k]) * exact_derivative(k, m, x) * scale for k in range(degree + 1)]
    return sum(terms, Fraction(0)), sum(abs(term) for term in terms)


@pytest.mark.parametrize(("degree", "n_t", "T"), HUGE_MESHES)
def test_meshes_beyond_half_the_largest_double(degree, n_t, T):
    # a + b of the last intervals' ends overflows; every path still finds the time inside its interval.
    ev = random_evaluator(degree, n_t, T, seed=n_t)
    dofs = ev.dofs.tolist()
    h = T / n_t
    times = [h * c for c in range(n_t)] + [T] + np.random.default_rng(n_t).uniform(0.0, T, 40).tolist()
    for m, one, many in [
        (0, ev.evaluate_at, ev.evaluate_many),
        (1, ev.evaluate_derivative_at, ev.evaluate_derivative_many),
    ]:
        expected = [one(t) for t in times]
        assert same_bits(many(np.array(times)), expected)
        assert same_bits(ev.evaluate(np.array(times * 60), derivative=m), expected * 60)  # on the pool too
        for t, r in zip(times, expected):
            exact, magnitude = exact_on_mesh(dofs, degree, n_t, T, t, m)
            tolerance = Fraction(64 * (degree + 1) * (m + 1) * 2.0**-52 * float(magnitude)) + Fraction(2.0**-1070)
            assert abs(Fraction(r) - exact) <= tolerance, (m, t, r, float(exact))


@pytest.mark.parametrize(
    ("degree", "n_t", "T", "nan_dof"),
    [(5, 4, 0.0, 4), (3, 6, math.nan, None), (2, 3, -2.0, 5), (4, 5, 3.0, 7), (0, 2, math.inf, 1), (6, 3, 1.0, None)],
)
def test_nan_and_special_results_agree_on_every_path(degree, n_t, T, nan_dof):
    rng = np.random.default_rng(degree)
    dofs = rng.uniform(-2.0, 2.0, n_t * (degree + 1))
    if nan_dof is not None:
        dofs[nan_dof] = math.nan
        dofs[-1] = -math.inf
    ev = LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs(dofs.tolist())
    basis = LegendreBasis(degree, n_t, T)
    times = [0.0, -0.0, 0.3, 1.0, 2.9, -1.0, math.inf, -math.inf, math.nan, 1e300]
    array = np.array(times * 300)  # enough for the worker pool
    for order, one, many in [
        (0, ev.evaluate_at, ev.evaluate_many),
        (1, ev.evaluate_derivative_at, ev.evaluate_derivative_many),
    ]:
        expected = [one(t) for t in times] * 300
        assert same_bits(ev.evaluate(array, derivative=order), expected)
        assert same_bits(many(array), expected)
        if order == 0:
            assert same_bits([basis.evaluate_at(t, dofs.tolist()) for t in times] * 300, expected)
        assert all(bits(v) == CANONICAL_NAN for v in expected if math.isnan(v))
    for t in times:
        for vector in (basis.evaluate_all_basis_functions(t), basis.evaluate_all_basis_function_derivatives(t)):
            assert all(bits(v) == CANONICAL_NAN for v in vector if math.isnan(v))


def layouts():
    rng = np.random.default_rng(11)
    base = rng.uniform(-0.2, 2.2, (40, 60))
    unaligned = np.frombuffer(b"\0" + base.tobytes(), dtype=np.float64, offset=1, count=base.size).reshape(40, 60)
    return {
        "python float": 1.25,
        "numpy scalar": np.float32(0.5),
        "0-d array": np.array(1.5),
        "list": [[0.0, 1.0], [2.0, 0.5]],
        "empty": np.empty((0, 3)),
        "C order": base,
        "Fortran order": np.asfortranarray(base),
        "negative strides": base[::-1, ::-2],
        "unaligned": unaligned,
        "big-endian": base.astype(">f8"),
        "int32": np.arange(-3, 9, dtype=np.int32).reshape(3, 4),
        "float32": base.astype(np.float32),
        "bool": np.array([True, False]),
        # ctypes arrays give no strides, and big-endian ones a "<d"-less format
        "ctypes 1-D": (ctypes.c_double * 3)(0.5, 1.0, 1.5),
        "ctypes 2-D": ((ctypes.c_double * 2) * 2)((0.5, 1.0), (1.5, 2.0)),
        "ctypes big-endian": (ctypes.c_double.__ctype_be__ * 2)(0.5, 1.0),
        "memoryview 0-d": memoryview(np.array(0.75)),
    }


@pytest.mark.parametrize("name", list(layouts()))
def test_any_real_array_gives_its_shape_and_the_one_time_values(name):
    ev = random_evaluator(3, 5, 2.0)
    t_values = layouts()[name]
    as_float64 = np.asarray(t_values, dtype=np.float64)
    for order, one in [(0, ev.evaluate_at), (1, ev.evaluate_derivative_at), (2, None)]:
        result = ev.evaluate(t_values, derivative=order)
        assert type(result) is np.ndarray and result.dtype == np.float64
        assert result.shape == as_float64.shape
        if one is not None:
            expected = np.array([one(t) for t in as_float64.ravel().tolist()]).reshape(as_float64.shape)
            assert same_bits(result, expected)
        else:
            assert same_bits(result, ev.evaluate(as_float64.copy(order="C"), derivative=2))
    if name == "Fortran order":
        assert ev.evaluate(t_values).flags.f_contiguous


def test_float64_arrays_are_read_in_place():
    ev = random_evaluator(2, 10, 1.0)
    for times, extra in [(np.linspace(0, 1, 10**6), 0), (np.linspace(0, 1, 10**6).astype(np.float32), 8 * 10**6)]:
        tracemalloc.start()
        tracemalloc.reset_peak()
        result = ev.evaluate(times)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert result.nbytes <= peak < result.nbytes + extra + 10**5


def test_out_is_filled_and_returned():
    ev = random_evaluator(4, 7, 3.0)
    times = np.random.default_rng(5).uniform(0, 3, (30, 20))
    expected = ev.evaluate(times, derivative=1)
    for out in (np.empty((30, 20)), np.empty((20, 30)).T, np.empty((60, 40))[::2, 1::2]):
        assert ev.evaluate(times, derivative=1, out=out) is out
        assert same_bits(out, expected)
    in_place = times.copy()
    assert ev.evaluate(in_place, derivative=1, out=in_place) is in_place
    assert same_bits(in_place, expected)
    overlapping = np.concatenate([times.ravel(), [0.0]])
    ev.evaluate(overlapping[:-1], out=overlapping[1:])
    assert same_bits(overlapping[1:], ev.evaluate(times.ravel()))
    assert ev.evaluate(times, out=None).shape == times.shape


@pytest.mark.parametrize(
    ("kwargs", "exc", "message"),
    [
        ({"t_values": np.ones(3, complex)}, TypeError, "t_values must be real, got complex128"),
        ({"t_values": ["0.5"]}, TypeError, "t_values must be real, got <U3"),
        ({"t_values": [0.5, None]}, TypeError, "t_values must be real, got object"),
        (
            {"t_values": np.array(["2024-01-01"], dtype="datetime64[D]")},
            TypeError,
            "t_values must be real, got datetime64[D]",
        ),
        ({"t_values": [[0.5], [0.5, 1.0]]}, ValueError, "t_values could not be read as an array: "),
        ({"derivative": -1}, ValueError, "derivative must be at least 0, got -1"),
        ({"derivative": True}, TypeError, "derivative must be an int, got bool"),
        ({"derivative": 1.0}, TypeError, "derivative must be an int, got float"),
        ({"out": np.empty(4)}, ValueError, "out must have shape (3,), got (4,)"),
        ({"out": np.empty(3, np.float32)}, TypeError, "out must have dtype float64, got float32"),
        ({"out": np.empty(3, ">f8")}, TypeError, "out must have dtype float64, got >f8"),
        ({"out": [0.0, 0.0, 0.0]}, TypeError, "out must be a numpy.ndarray, got list"),
        ({"out": np.broadcast_to(np.empty(1), (3,))}, ValueError, "out must be writable, got a read-only array"),
        # Elements that share memory: one element seen three times, and 8-byte items 4 bytes apart.
        ({"out": as_strided(np.full(1, 42.0), (3,), (0,))}, ValueError, SHARED.format("(0,)")),
        ({"out": as_strided(np.full(3, 42.0), (3,), (4,))}, ValueError, SHARED.format("(4,)")),
        (
            {"t_values": np.ones((3, 3)), "out": as_strided(np.full(5, 42.0), (3, 3), (16, 8))},
            ValueError,
            SHARED.format("(16, 8)"),
        ),
    ],
)
def test_refusals_name_the_argument_and_write_nothing(kwargs, exc, message):
    ev = random_evaluator(2, 3, 1.0)
    target = np.full(3, 42.0)
    kwargs = {"t_values": np.array([0.1, 0.5, 0.9]), "out": target, **kwargs}
    with pytest.raises(exc) as error:
        ev.evaluate(kwargs.pop("t_values"), **kwargs)
    assert str(error.value).startswith(message) and (message.endswith(": ") or str(error.value) == message)
    assert (target == 42.0).all()


def test_out_whose_strides_interleave_without_sharing_memory():
    # Axes that do not nest (the larger stride within the smaller axis' span) but never meet.
    ev = random_evaluator(2, 3, 1.0)
    times = np.random.default_rng(3).uniform(0.0, 1.0, (3, 2))
    memory = np.full(8, 42.0)
    out = as_strided(memory, (3, 2), (16, 24))
    assert ev.evaluate(times, out=out) is out
    assert same_bits(out, ev.evaluate(times))


def test_binding_errors_and_zero_intervals():
    ev = LegendreBasisEvaluator(1, 0, 1.0)
    assert ev.evaluate([]).shape == (0,)
    with pytest.raises(ValueError, match=r"^cannot evaluate: the evaluator has no intervals \(n_t is 0\)$"):
        ev.evaluate([0.5])
    ev = random_evaluator(1, 2, 1.0)
    for call, message in [
        (lambda: ev.evaluate(), "LegendreBasisEvaluator.evaluate() missing 1 required positional argument: 't_values'"),
        (lambda: ev.evaluate(0.5, 1), "LegendreBasisEvaluator.evaluate() takes 1 positional argument but 2 were given"),
        (
            lambda: ev.evaluate(0.5, order=1),
            "LegendreBasisEvaluator.evaluate() got an unexpected keyword argument 'order'",
        ),
    ]:
        with pytest.raises(TypeError) as error:
            call()
        assert str(error.value) == message
    assert LegendreBasisEvaluator.evaluate.__text_signature__ == "($self, t_values, *, derivative=0, out=None)"
    assert "bit for bit" in LegendreBasisEvaluator.evaluate.__doc__


# ---------------------------------------------------------------- borrows and threads during batches


@pytest.mark.parametrize(
    ("degree", "run"),
    [
        (3, lambda ev, times: ev.evaluate_many(times)),
        # The array path is fast; a high derivative order of a high degree keeps it busy.
        (40, lambda ev, times: ev.evaluate(times, derivative=6).tolist()),
    ],
    ids=["evaluate_many", "evaluate"],
)
def test_borrow_conflicts_with_a_running_batch(degree, run):
    ev = LegendreBasisEvaluator(degree, 1000, 1.0)
    dofs = [((i * 37) % 11) / 11.0 for i in range(1000 * (degree + 1))]
    ev.set_dofs(dofs)
    times = np.random.default_rng(1).uniform(0, 1, 4_000_000)
    started, finished = threading.Event(), threading.Event()
    results = {}

    def batch():
        started.set()
        results["batch"] = run(ev, times)
        finished.set()

    worker = threading.Thread(target=batch)
    worker.start()
    started.wait()
    refused = single = 0
    while not finished.is_set():
        try:
            ev.set_dofs(dofs)  # same values: a success before the batch borrows changes nothing
        except RuntimeError as e:
            assert str(e) == "Already borrowed"
            refused += 1
            assert ev.evaluate_at(0.25) == ev.evaluate_at(0.25)
            single += 1
        time.sleep(0.001)
    worker.join()
    assert refused > 0 and single > 0
    assert results["batch"][:5] == run(ev, times[:5])


def test_other_threads_run_during_a_batch():
    ev = LegendreBasisEvaluator(3, 1000, 1.0)
    times = np.random.default_rng(2).uniform(0, 1, 3_000_000)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    t = threading.Thread(target=ticker)
    t.start()
    time.sleep(0.01)
    begin = time.perf_counter()
    for _ in range(3):
        ev.evaluate_many(times)
    end = time.perf_counter()
    stop.set()
    t.join()
    assert sum(begin < tick < end for tick in ticks) >= 3


# ---------------------------------------------------------------- the worker pool


DIGEST_SCRIPT = r"""
import sys, hashlib
import numpy as np
import quorvel
ev = quorvel.LegendreBasisEvaluator(4, 37, 2.0)
ev.set_dofs(np.random.default_rng(3).uniform(-1, 1, 37 * 5).tolist())
t = np.random.default_rng(4).uniform(-0.5, 2.5, 300_001)
print(hashlib.sha256(b"".join(ev.evaluate(t, derivative=d).tobytes() for d in range(4))).hexdigest())
"""


def test_results_do_not_depend_on_the_pool_size():
    digests = set()
    for threads in ("1", "3", "8"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run(
            [sys.executable, "-c", DIGEST_SCRIPT], env=env, capture_output=True, text=True, timeout=120
        )
        assert out.returncode == 0, out.stderr
        digests.add(out.stdout)
    assert len(digests) == 1


POOL_SCRIPT = r"""
import array, os, sys
import quorvel
def tasks():
    return len(os.listdir('/proc/self/task'))
ev = quorvel.LegendreBasisEvaluator(1, 4, 1.0)
before = tasks()
ev.evaluate_many(array.array('d', [0.5] * int(sys.argv[1])))
after_first = tasks()
os.environ['RAYON_NUM_THREADS'] = '7'
ev.evaluate_many(array.array('d', [0.5] * 5000))
print(before, after_first, tasks())
"""


def pool_threads(n_times, env):
    clean = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    clean.update(env)
    out = subprocess.run(
        [sys.executable, "-c", POOL_SCRIPT, str(n_times)], env=clean, capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 0, out.stderr
    before, after_first, after_second = map(int, out.stdout.split())
    return after_first - before, after_second - before


def cpu_quota():
    """The control group's CPU limit in whole CPUs, or None (v2 cpu.max, v1 cfs files)."""
    for line in open("/proc/self/cgroup").read().splitlines():
        hierarchy, controllers, path = line.split(":", 2)
        if hierarchy == "0":
            candidates = [f"/sys/fs/cgroup{path}/cpu.max"]
        elif "cpu" in controllers.split(","):
            candidates = [f"/sys/fs/cgroup/{controllers}{path}", f"/sys/fs/cgroup/cpu{path}"]
        else:
            continue
        for base in candidates:
            try:
                if base.endswith("cpu.max"):
                    quota, period = open(base).read().split()
                else:
                    quota = open(base + "/cpu.cfs_quota_us").read().strip()
                    period = open(base + "/cpu.cfs_period_us").read().strip()
            except OSError:
                continue
            if quota not in ("max", "-1"):
                return max(1, int(quota) // int(period))
    return None


def test_default_pool_size_is_affinity_within_quota():
    expected = len(os.sched_getaffinity(0))
    quota = cpu_quota()
    if quota is not None:
        expected = min(expected, quota)
    assert pool_threads(2048, {})[0] == expected


@pytest.mark.parametrize(
    ("env", "expected"),
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+3"}, 3),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, None),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_RS_NUM_CPUS": "0"}, None),
        ({"RAYON_RS_NUM_CPUS": "x"}, None),
        ({"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ],
)
def test_pool_size_from_environment(env, expected):
    first, second = pool_threads(2048, env)
    if expected is None:  # the default count
        expected = pool_threads(2048, {})[0]
    assert first == expected
    assert second == first  # read once, when the pool is built


def test_small_batches_do_not_build_the_pool():
    first, second = pool_threads(2047, {"RAYON_NUM_THREADS": "3"})
    assert first == 0
    assert second == 7  # built by the first large batch, after the variable changed


# ---------------------------------------------------------------- both classes as Python objects


COPIERS = {f"pickle protocol {p}": lambda x, p=p: pickle.loads(pickle.dumps(x, p)) for p in range(2, 6)}
COPIERS |= {"copy.copy": copy.copy, "copy.deepcopy": copy.deepcopy}


@pytest.mark.parametrize("cls", [LegendreBasis, LegendreBasisEvaluator])
@pytest.mark.parametrize(("degree", "n_t", "T"), SPACES)
def test_repr_and_read_only_attributes(cls, degree, n_t, T):
    obj = cls(degree, n_t, T)
    assert repr(obj) == f"{cls.__name__}(degree={degree}, n_t={n_t}, T={T!r})"
    assert (obj.degree, obj.n_t, obj.n_dofs) == (degree, n_t, n_t * (degree + 1))
    assert bits(obj.T) == bits(T)
    if math.isfinite(T):
        again = eval(repr(obj), {cls.__name__: cls})
        assert (again.degree, again.n_t, bits(again.T)) == (degree, n_t, bits(T))
    for name in ["degree", "n_t", "T", "n_dofs"] + (["dofs"] if cls is LegendreBasisEvaluator else []):
        assert getattr(cls, name).__doc__
        for change in (lambda: setattr(obj, name, 1), lambda: delattr(obj, name)):
            with pytest.raises(
                AttributeError, match=f"^attribute '{name}' of '{cls.__name__}' objects is not writable$"
            ):
                change()


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS.keys())
@pytest.mark.parametrize(("degree", "n_t", "T"), SPACES)
def test_round_trips_keep_every_bit(copier, degree, n_t, T):
    ev, basis = filled(degree, n_t, T), LegendreBasis(degree, n_t, T)
    ev_copy, basis_copy = copier(ev), copier(basis)
    assert type(ev_copy) is LegendreBasisEvaluator and type(basis_copy) is LegendreBasis
    for original, clone in [(ev, ev_copy), (basis, basis_copy)]:
        assert clone is not original and repr(clone) == repr(original) and bits(clone.T) == bits(T)
    assert ev_copy.dofs.tobytes() == ev.dofs.tobytes()
    if n_t > 0:
        times = np.array([-1.0, 0.0, 0.3, 0.5, 1.0, 2.0, math.nan])
        assert_bits_equal(ev_copy.evaluate_many(times), ev.evaluate_many(times))
        assert_bits_equal(ev_copy.evaluate_derivative_many(times), ev.evaluate_derivative_many(times))
        assert_bits_equal(basis_copy.evaluate_all_basis_functions(T / 3), basis.evaluate_all_basis_functions(T / 3))


def test_copies_and_dofs_are_independent():
    ev = filled(2, 3, 1.0)
    before = ev.dofs.tobytes()
    twin = copy.copy(ev)
    twin.set_dofs(np.zeros(9))
    assert ev.dofs.tobytes() == before and not twin.dofs.any()
    dofs = ev.dofs
    assert dofs.dtype == np.float64 and dofs.shape == (9,) and dofs.flags.writeable and dofs is not ev.dofs
    dofs[:] = 7.0
    assert ev.dofs.tobytes() == before
    assert LegendreBasisEvaluator(1, 0, 1.0).dofs.shape == (0,)


class ForgedState:
    """Pickles as an evaluator whose state is whatever it is given: an untrusted pickle."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        return LegendreBasisEvaluator, (1, 2, 1.0), self.state


@pytest.mark.parametrize(
    ("state", "exc", "message"),
    [
        (b"", ValueError, "state must hold 4 float64 DOFs (32 bytes), got 0 bytes"),
        (b"\0" * 31, ValueError, "state must hold 4 float64 DOFs (32 bytes), got 31 bytes"),
        (bytearray(32), TypeError, "state must be bytes, got bytearray"),
        ([0.0] * 4, TypeError, "state must be bytes, got list"),
    ],
)
def test_states_are_checked_before_anything_changes(state, exc, message):
    ev = filled(1, 2, 1.0)
    before = ev.dofs.tobytes()
    with pytest.raises(exc) as info:
        ev.__setstate__(state)
    assert type(info.value) is exc and str(info.value) == message
    assert ev.dofs.tobytes() == before
    with pytest.raises(exc, match=f"^{message.replace('(', '.').replace(')', '.')}$"):
        pickle.loads(pickle.dumps(ForgedState(state)))
    ev.__setstate__(struct.pack("<4d", 1, 2, 3, 4))  # little-endian, whatever the host
    assert ev.dofs.tolist() == [1.0, 2.0, 3.0, 4.0]


def test_pickling_borrows_like_a_read_only_method():
    ev = filled(1, 2, 1.0)
    seen = []

    class Reenters:
        def __float__(self):
            seen.append((repr(ev), ev.degree, ev.n_dofs))  # what construction fixed: no borrow
            for read in (lambda: pickle.dumps(ev), lambda: ev.dofs):
                with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                    read()
            return 0.5

    ev.set_dofs([Reenters()] * 4)
    assert seen == [("LegendreBasisEvaluator(degree=1, n_t=2, T=1.0)", 1, 4)] * 4
    assert ev.dofs.tolist() == [0.5] * 4


def test_spawned_pool_maps_over_evaluators_without_an_initializer():
    evaluators = [filled(*space) for space in SPACES if space[1] > 0]
    times = np.linspace(-0.5, 3.0, 301)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        remote = pool.map(operator.methodcaller("evaluate_many", times), evaluators)
        returned = pool.map(copy.copy, evaluators)  # there and back again
    for ev, values, back in zip(evaluators, remote, returned):
        assert_bits_equal(values, ev.evaluate_many(times))
        assert repr(back) == repr(ev) and back.dofs.tobytes() == ev.dofs.tobytes()
