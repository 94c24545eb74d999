"""Property tests: every public callable under hostile arguments.

Hostile calls are checked against the conversion model of hostile.py: the call
raises exactly what the model predicts (or succeeds when it does), calls back
into the module meet only the borrow refusals the rules allow, buffer views
are released, and a failed call leaves every instance as it was.
"""

import array
import ctypes
import math
import re
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from conftest import any_float, assert_bits_equal, assert_triplets, bits
from hostile import (
    ACTIONS,
    PANIC,
    U64_MAX,
    Expected,
    Exporter,
    FloatSub,
    Floaty,
    HostileSequence,
    Index,
    Reentry,
    assert_same_failure,
    model_arguments,
    model_buffer,
    model_double,
    model_sequence,
    model_u32,
    outcome,
)
from hypothesis import event, given
from hypothesis import strategies as st

import quorvel
from quorvel import LegendreBasis, LegendreBasisEvaluator

# Complex and out-of-range DOF arrays are hostile inputs too; numpy warns when it builds or casts them.
pytestmark = [
    pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning"),
    pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning"),
    pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning"),
]


# ---------------------------------------------------------------- strategies


actions = st.sampled_from(ACTIONS)
huge_int = st.integers(-(2**1100), 2**1100)


def u32_args(valid):
    """Values for an unsigned 32-bit parameter; those that convert stay within `valid`."""
    return st.one_of(
        valid,
        valid,
        st.booleans(),
        st.sampled_from([-1, -(2**63), 2**32, U64_MAX, 2**64, 2**100]),
        st.builds(Index, st.one_of(valid, st.sampled_from([-5, 2**32, 2**80, "3", 2.0])), actions),
        st.sampled_from(
            [1.0, "1", None, b"1", [1], np.float64(1.0), Fraction(1), np.int64(2), np.uint8(3), np.int32(-1)]
        ),
    )


double_args = st.one_of(
    any_float,
    any_float,
    huge_int,
    st.builds(FloatSub, any_float),
    st.builds(Floaty, st.one_of(any_float, st.sampled_from([1, "x", None])), actions),
    st.builds(Index, st.one_of(huge_int, st.just("x")), actions),
    st.sampled_from(
        [
            "0.5",
            None,
            b"x",
            [0.5],
            np.float32(0.25),
            np.float64("nan"),
            Fraction(1, 3),
            Decimal("0.1"),
            Decimal("sNaN"),
            1j,
            np.int8(-3),
        ]
    ),
)


hostile_numbers = st.one_of(
    st.builds(Floaty, any_float, actions), st.builds(Index, st.integers(-3, 3), actions), double_args
)


mostly_floats = st.one_of(any_float, any_float, hostile_numbers)


@st.composite
def sequence_args(draw, count):
    n = draw(st.integers(max(0, count - 2), count + 2))
    floats = st.lists(any_float, min_size=n, max_size=n)
    kind = draw(
        st.sampled_from(["list", "tuple", "ndarray", "ints", "range", "array", "bytes", "hostile", "object", "refused"])
    )
    if kind in ("list", "tuple"):
        items = draw(st.lists(mostly_floats, min_size=n, max_size=n))
        if n and draw(st.booleans()):  # one item that calls back or raises when converted
            items[draw(st.integers(0, n - 1))] = draw(st.builds(Floaty, any_float, actions))
        return items if kind == "list" else tuple(items)
    if kind == "ndarray":
        return np.array(draw(floats), dtype=draw(st.sampled_from(["f8", ">f8", "f4", "f2", "c16"])))
    if kind == "ints":
        return np.arange(n).astype(draw(st.sampled_from(["i1", "u8", "?", "i8"])))
    if kind == "range":
        return range(-1, n - 1)
    if kind == "array":
        return array.array(draw(st.sampled_from("dfbqQ")), [1] * n)
    if kind == "bytes":
        return draw(st.sampled_from([bytes, bytearray, lambda k: memoryview(bytes(k))]))(n)
    if kind == "hostile":
        return HostileSequence(
            draw(floats),
            draw(st.sampled_from([None, 0, 2**62, n])),
            draw(st.one_of(st.none(), st.integers(0, n))),
            draw(actions),
        )
    if kind == "object":
        return np.array(draw(st.lists(mostly_floats, min_size=n, max_size=n)) + [None], dtype=object)[:n]
    return draw(
        st.sampled_from(
            [
                "abcd",
                {0: 1.0},
                {1.0},
                iter([1.0]),
                (x for x in []),
                5,
                None,
                np.zeros((2, 2)),
                memoryview(bytes(8)).cast("B", (2, 4)),
            ]
        )
    )


def _offset_view(arr, offset):
    raw = np.zeros(arr.nbytes + 16, dtype=np.uint8)
    raw[offset : offset + arr.nbytes] = np.frombuffer(arr.tobytes(), dtype=np.uint8)
    return raw[offset : offset + arr.nbytes].view(arr.dtype).reshape(arr.shape)


@st.composite
def buffer_args(draw):
    kind = draw(st.sampled_from(["numpy", "numpy", "numpy", "other", "exporter", "refused"]))
    if kind == "refused":
        return draw(st.sampled_from([[0.5], 0.5, None, "abc", {}, (0.5,)]))
    if kind == "other":
        return draw(
            st.sampled_from(
                [
                    lambda: array.array("d", [0.25, 2.0]),
                    lambda: array.array("q", [1, 2]),
                    lambda: array.array("f", [1.0]),
                    lambda: bytes(16),
                    lambda: bytearray(24),
                    lambda: memoryview(bytes(16)).cast("d"),
                    lambda: memoryview(bytes(24)).cast("d", [3, 1]),
                    lambda: memoryview(bytes(8)).cast("d", []),
                    lambda: (ctypes.c_double * 3)(0.5, 1.0, 2.0),
                    lambda: memoryview((ctypes.c_double * 3)(0.5, 1.0, 2.0)),
                    lambda: memoryview((ctypes.c_double.__ctype_be__ * 2)(0.5, 1.0)),
                    lambda: memoryview((ctypes.c_float * 2)()),
                ]
            )
        )()
    dtype = draw(st.sampled_from(["f8"] * 9 + [">f8", "f4", "i8", "u8", "c16", "V8", "O", "M8[s]", [("a", "f8")]]))
    shape = tuple(draw(st.lists(st.integers(0, 5), max_size=3)))
    size = math.prod(shape)
    if dtype == "f8":
        arr = np.array(draw(st.lists(any_float, min_size=size, max_size=size)), dtype=np.float64).reshape(shape)
    else:
        arr = np.zeros(shape, dtype=dtype)
    layout = draw(
        st.sampled_from(
            ["plain", "reversed", "strided", "transposed", "offset", "offset", "readonly", "broadcast", "large"]
        )
    )
    if layout == "reversed" and arr.ndim:
        arr = arr[::-1]
    elif layout == "strided" and arr.ndim:
        arr = arr[:: draw(st.integers(2, 3))]
    elif layout == "transposed":
        arr = arr.T
    elif layout == "offset" and dtype == "f8":
        arr = _offset_view(arr, draw(st.integers(0, 8)))
    elif layout == "readonly":
        arr.flags.writeable = False
    elif layout == "broadcast":
        arr = np.broadcast_to(arr, (2,) + arr.shape)
    elif layout == "large" and size and dtype == "f8":
        arr = np.resize(arr, (2048 + draw(st.integers(0, 100)),))  # the worker pool's path
    return Exporter(arr, draw(actions)) if kind == "exporter" else arr


# ---------------------------------------------------------------- calling


PROBES = [-1.0, 0.0, 0.1, 0.5, 0.9, 1.0, 2.5, math.nan, math.inf, -math.inf]


def observed(call):
    """A call's outcome in comparable form: result bits, or exception type and message."""
    kind, value = outcome(call)
    if kind == "err":
        return "err", type(value).__name__, str(value)
    return "ok", tuple(map(bits, value)) if isinstance(value, list) else bits(value)


def snapshot(ev):
    return [observed(lambda t=t: ev.evaluate_at(t)) for t in PROBES] + [
        observed(lambda t=t: ev.evaluate_derivative_at(t)) for t in PROBES
    ]


def call_with(fn, names, values, split):
    """fn called with the first `split` values by position, the others by keyword (in reverse)."""
    kwargs = {n: v for n, v in reversed(list(zip(names[split:], values[split:])))}
    return fn(*values[:split], **kwargs)


# The internal failures hostile calls may provoke, directly or from the calls back.
KNOWN_FAILURE = re.compile(
    r"Matrix slicing out of bounds\.|Matrix view: input data buffer too small\.|capacity overflow"
    r"|Lagrange prolongation requires (polynomial degree at least 1|at least one (coarse|fine) interval)"
    r"|Lagrange to Legendre conversion not meaningful for degree 0"
    r"|assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length"
    r"\n  left: \d+\n right: \d+"
)


def assert_known_diagnostics(messages):
    unknown = [m for m in messages if not KNOWN_FAILURE.fullmatch(m)]
    assert not unknown, unknown


def run_hostile(call, params, on_success, diagnostics):
    """Runs call; checks its outcome against the model of params and on_success(converted, result).

    A PanicException raised by the call has its diagnostic on standard error.
    """
    try:
        converted = model_arguments(params)
        expected = None
    except Expected as e:
        expected = e
    kind, result = outcome(call)
    messages = diagnostics()
    assert_known_diagnostics(messages)
    if type(result) is PANIC:
        assert str(result) in messages
    event(f"{kind}: {type(result).__name__}")
    assert not Reentry.violations(), Reentry.attempts
    assert Reentry.buffer_gets == Reentry.buffer_releases
    if expected is not None:
        assert kind == "err", f"succeeded with {result!r}, expected {expected.error!r}"
        assert_same_failure(result, expected)
        return False
    on_success(converted, kind, result)
    return kind == "ok"


def expect_panic(kind, result, message):
    assert kind == "err" and type(result) is PANIC, result
    assert str(result) == message


def small_instances(draw):
    degree, n_t = draw(st.integers(0, 5)), draw(st.integers(0, 4))
    return degree, n_t, draw(any_float)


# ---------------------------------------------------------------- hostile calls


@pytest.mark.parametrize(
    "name", ["sum_as_string", "get_lagrange_points", "lagrange_prolongation_matrix", "transformation"]
)
@given(data=st.data())
def test_module_functions_under_hostile_arguments(name, data, diagnostics):
    aux = LegendreBasisEvaluator(1, 2, 1.0)
    Reentry.reset(evaluator=aux, evaluator_dofs=[0.0] * 4, basis=LegendreBasis(1, 2, 1.0))
    u32 = u32_args(st.integers(0, 4))
    if name == "sum_as_string":
        fn, names, kinds = quorvel.sum_as_string, ["a", "b"], [model_u32, model_u32]
        values = [data.draw(u32_args(st.sampled_from([0, 1, 2**32 - 1]))) for _ in names]
    elif name == "get_lagrange_points":
        fn, names, kinds = quorvel.get_lagrange_points, ["degree", "n_t", "T"], [model_u32, model_u32, model_double]
        values = [data.draw(u32), data.draw(u32), data.draw(double_args)]
    elif name == "lagrange_prolongation_matrix":
        fn, names, kinds = quorvel.lagrange_prolongation_matrix, ["nt_coarse", "nt_fine", "degree"], [model_u32] * 3
        values = [data.draw(u32) for _ in names]
    else:
        fn, names, kinds = quorvel.lagrange_to_legendre_basis_transformation, ["degree", "n_t"], [model_u32] * 2
        values = [data.draw(u32_args(st.integers(0, 9))), data.draw(u32)]
    split = data.draw(st.integers(0, len(names)))

    def check(converted, kind, result):
        if name == "sum_as_string":
            assert (kind, result) == ("ok", str(sum(converted)))
        elif name == "get_lagrange_points":
            degree, n_t, T = converted
            assert kind == "ok", result
            assert_bits_equal(result, expected_points(degree, n_t, T))
        elif name == "lagrange_prolongation_matrix":
            nt_coarse, nt_fine, degree = converted
            for bad, message in [
                (degree == 0, "Lagrange prolongation requires polynomial degree at least 1"),
                (nt_coarse == 0, "Lagrange prolongation requires at least one coarse interval"),
                (nt_fine == 0, "Lagrange prolongation requires at least one fine interval"),
            ]:
                if bad:
                    return expect_panic(kind, result, message)
            assert kind == "ok", result
            assert_triplets(result, nt_fine * degree + 1, nt_coarse * degree + 1)
            assert set(result[0]) == set(range(nt_fine * degree + 1))  # every fine node is covered
        else:
            degree, n_t = converted
            if degree == 0:
                return expect_panic(kind, result, "Lagrange to Legendre conversion not meaningful for degree 0")
            assert kind == "ok", result
            assert_triplets(result, (degree + 1) * n_t, n_t * degree + 1)
            assert len(result[0]) == (degree + 1) ** 2 * n_t

    before = snapshot(aux)
    run_hostile(lambda: call_with(fn, names, values, split), list(zip(names, kinds, values)), check, diagnostics)
    assert snapshot(aux) == before
    assert_known_diagnostics(diagnostics())


@pytest.mark.parametrize("cls", [LegendreBasis, LegendreBasisEvaluator])
@given(data=st.data())
def test_constructors_under_hostile_arguments(cls, data, diagnostics):
    names = ["degree", "n_t", "T"]
    values = [data.draw(u32_args(st.integers(0, 5))), data.draw(u32_args(st.integers(0, 4))), data.draw(double_args)]
    Reentry.reset(evaluator=LegendreBasisEvaluator(0, 1, 1.0), evaluator_dofs=[0.0], basis=LegendreBasis(0, 1, 1.0))

    def check(converted, kind, result):
        assert kind == "ok", result
        assert type(result) is cls
        reference = cls(*converted)
        method = "evaluate_all_basis_functions" if cls is LegendreBasis else "evaluate_at"
        for t in PROBES:
            assert observed(lambda: getattr(result, method)(t)) == observed(lambda: getattr(reference, method)(t))

    split = data.draw(st.integers(0, 3))
    run_hostile(
        lambda: call_with(cls, names, values, split),
        list(zip(names, [model_u32, model_u32, model_double], values)),
        check,
        diagnostics,
    )
    assert_known_diagnostics(diagnostics())


@pytest.mark.parametrize(
    "method", ["evaluate_at", "evaluate_all_basis_functions", "evaluate_all_basis_function_derivatives"]
)
@given(data=st.data())
def test_legendre_basis_methods_under_hostile_arguments(method, data, diagnostics):
    degree, n_t, T = small_instances(data.draw)
    basis = LegendreBasis(degree, n_t, T)
    count = n_t * (degree + 1)
    Reentry.reset(evaluator=LegendreBasisEvaluator(0, 1, 1.0), evaluator_dofs=[0.0], basis=basis)
    before = [observed(lambda t=t: basis.evaluate_all_basis_functions(t)) for t in PROBES]
    t = data.draw(double_args)
    if method == "evaluate_at":
        names, values, kinds = (
            ["t", "legendre_vals"],
            [t, data.draw(sequence_args(count))],
            [model_double, model_sequence],
        )
    else:
        names, values, kinds = ["t"], [t], [model_double]

    def check(converted, kind, result):
        if n_t == 0:
            return expect_panic(kind, result, "Matrix slicing out of bounds.")
        if method == "evaluate_at":
            t_value, dofs = converted
            if len(dofs) < count:
                return expect_panic(kind, result, "Matrix view: input data buffer too small.")
            reference = LegendreBasisEvaluator(degree, n_t, T)
            reference.set_dofs(dofs[:count])
            assert kind == "ok", result
            assert_bits_equal([result], [reference.evaluate_at(t_value)])
        else:
            assert kind == "ok", result
            assert_bits_equal(result, getattr(basis, method)(converted[0]))
            assert len(result) == count
            nonzero = {i % n_t for i, v in enumerate(result) if v != 0.0}
            assert len(nonzero) <= 1  # one interval only

    split = data.draw(st.integers(0, len(names)))
    run_hostile(
        lambda: call_with(getattr(basis, method), names, values, split),
        list(zip(names, kinds, values)),
        check,
        diagnostics,
    )
    assert [observed(lambda t=t: basis.evaluate_all_basis_functions(t)) for t in PROBES] == before
    assert_known_diagnostics(diagnostics())


@pytest.mark.parametrize(
    "method", ["set_dofs", "evaluate_at", "evaluate_derivative_at", "evaluate_many", "evaluate_derivative_many"]
)
@given(data=st.data())
def test_evaluator_methods_under_hostile_arguments(method, data, diagnostics):
    degree, n_t, T = small_instances(data.draw)
    count = n_t * (degree + 1)
    ev = LegendreBasisEvaluator(degree, n_t, T)
    dofs = data.draw(st.lists(any_float, min_size=count, max_size=count))
    ev.set_dofs(dofs)
    if method == "set_dofs":
        name, kind_of, value = "legendre_vals", model_sequence, data.draw(sequence_args(count))
    elif method.endswith("_at"):
        name, kind_of, value = "t", model_double, data.draw(double_args)
    else:
        name, kind_of, value = "t_values", model_buffer, data.draw(buffer_args())
    context = "exclusive" if method == "set_dofs" else "shared"
    Reentry.reset(evaluator=ev, evaluator_dofs=dofs, basis=LegendreBasis(degree, n_t, T), context=context)
    before = snapshot(ev)

    def check(converted, kind, result):
        (arg,) = converted
        if method == "set_dofs":
            if len(arg) != count:
                return expect_panic(
                    kind,
                    result,
                    "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length\n"
                    f"  left: {len(arg)}\n right: {count}",
                )
            assert (kind, result) == ("ok", None)
            reference = LegendreBasisEvaluator(degree, n_t, T)
            reference.set_dofs(arg)
            assert snapshot(ev) == snapshot(reference)
            return
        single = getattr(ev, method.replace("_many", "_at"))
        points = [arg] if method.endswith("_at") else arg
        if n_t == 0 and points:
            return expect_panic(kind, result, "Matrix slicing out of bounds.")
        assert kind == "ok", result
        expected = [single(x) for x in points]
        assert_bits_equal([result] if method.endswith("_at") else result, expected)

    by_keyword = data.draw(st.booleans())
    call = (lambda: getattr(ev, method)(**{name: value})) if by_keyword else (lambda: getattr(ev, method)(value))
    if not run_hostile(call, [(name, kind_of, value)], check, diagnostics) or method != "set_dofs":
        assert snapshot(ev) == before
    Reentry.reset()
    ev.set_dofs(dofs)  # no borrow is left behind
    assert_known_diagnostics(diagnostics())


@given(data=st.data())
def test_evaluate_under_hostile_arguments(data, diagnostics):
    """Whatever evaluate is given: the one-time bits, or an ordinary exception that
    leaves the evaluator and `out` as they were; every buffer view is returned."""
    degree, n_t, T = small_instances(data.draw)
    count = n_t * (degree + 1)
    ev = LegendreBasisEvaluator(degree, n_t, T)
    dofs = data.draw(st.lists(any_float, min_size=count, max_size=count))
    ev.set_dofs(dofs)
    t_values = data.draw(st.one_of(buffer_args(), mostly_floats, st.lists(mostly_floats, max_size=4)))
    derivative = data.draw(
        st.one_of(st.integers(0, 3), st.integers(-3, 7), huge_int, st.booleans(), any_float, hostile_numbers)
    )
    inner = t_values.inner if isinstance(t_values, Exporter) else t_values
    Reentry.quiet = True  # hostile numbers raise if asked to, call nothing
    try:
        shape = np.asarray(inner, dtype=np.float64).shape
    except Exception:  # noqa: BLE001 - any refusal: evaluate must refuse it too
        shape = (1,)
    finally:
        Reentry.quiet = False
    out = data.draw(
        st.sampled_from(
            [None, np.full(shape, 7.0), np.full(shape, 7.0).T, np.full((9,), 7.0), np.full(shape, 7, np.float32), [7.0]]
        )
    )
    Reentry.reset(evaluator=ev, evaluator_dofs=dofs, basis=LegendreBasis(degree, n_t, T), context="shared")
    before, out_before = snapshot(ev), (out.tobytes() if isinstance(out, np.ndarray) else None)
    kwargs = {} if data.draw(st.booleans()) else {"derivative": derivative}
    if out is not None or data.draw(st.booleans()):
        kwargs["out"] = out
    kind, result = outcome(lambda: ev.evaluate(t_values, **kwargs))
    event(f"{kind}: {type(result).__name__}")
    assert not Reentry.violations(), Reentry.attempts
    assert Reentry.buffer_gets == Reentry.buffer_releases
    if kind == "err":
        assert type(result) is not PANIC and isinstance(result, Exception), repr(result)
        if out_before is not None:
            assert out.tobytes() == out_before
    else:
        order = kwargs.get("derivative", 0)
        assert type(result) is np.ndarray and result.dtype == np.float64
        if "out" in kwargs and out is not None:
            assert result is out
        Reentry.quiet = True
        try:
            times = np.asarray(inner, dtype=np.float64)
        finally:
            Reentry.quiet = False
        assert result.shape == times.shape
        if order in (0, 1):
            single = ev.evaluate_derivative_at if order == 1 else ev.evaluate_at
            assert_bits_equal(result.ravel().tolist(), [single(t) for t in times.ravel().tolist()])
    assert snapshot(ev) == before
    Reentry.reset()
    ev.set_dofs(dofs)  # no borrow is left behind
    # Only the snapshots of an evaluator without intervals fail (and say so): evaluate never does.
    assert set(diagnostics()) <= {"Matrix slicing out of bounds."}


def expected_points(degree, n_t, T):
    points = []
    if degree > 0:
        k = 0.0
        for _ in range(n_t):
            h = T / n_t
            a, b = h * k, h + h * k
            points += [a + ((b - a) * i) / degree for i in range(degree)]
            k += 1.0
    return points + [T]
