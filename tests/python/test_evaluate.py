"""LegendreBasisEvaluator.evaluate: NumPy arrays in and out, every derivative order."""

import ctypes
import math
import os
import subprocess
import sys
import tracemalloc
from fractions import Fraction

import numpy as np
import pytest
from conftest import bits, exact_derivative

import quorvel
from quorvel import LegendreBasis, LegendreBasisEvaluator

CANONICAL_NAN = bits(float("nan"))


def random_evaluator(degree, n_t, T, seed=0):
    ev = LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs(np.random.default_rng(seed).uniform(-1.0, 1.0, n_t * (degree + 1)).tolist())
    return ev


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


# ------------------------------------------------ values against exact arithmetic


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


# ------------------------------------------------ the same bits on every path


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


POOL_SCRIPT = r"""
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
        out = subprocess.run([sys.executable, "-c", POOL_SCRIPT], env=env, capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stderr
        digests.add(out.stdout)
    assert len(digests) == 1


# ------------------------------------------------ arrays in, arrays out


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


def test_import_leaves_numpy_and_scipy_out():
    code = "import sys, quorvel; print(sorted(m for m in ('numpy', 'scipy') if m in sys.modules))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "[]", out.stderr
    assert quorvel.__name__ == "quorvel"
