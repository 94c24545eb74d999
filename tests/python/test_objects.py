"""The classes as Python objects: repr, read-only attributes, pickling and copying (in this
process and in others), PanicException across processes, the direct read of float64 DOFs."""

import array
import concurrent.futures
import copy
import ctypes
import math
import multiprocessing
import operator
import pathlib
import pickle
import struct
import subprocess
import sys
import tomllib

import numpy as np
import pytest
from conftest import assert_bits_equal, bits

import quorvel
from quorvel import LegendreBasis, LegendreBasisEvaluator

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
COPIERS = {f"pickle protocol {p}": lambda x, p=p: pickle.loads(pickle.dumps(x, p)) for p in range(2, 6)}
COPIERS |= {"copy.copy": copy.copy, "copy.deepcopy": copy.deepcopy}


def wrong_length(given, expected):
    return (
        "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length\n"
        f"  left: {given}\n right: {expected}"
    )


def filled(degree, n_t, T):
    """An evaluator whose DOFs mix ordinary values with the special ones, NaN payloads included."""
    ev = LegendreBasisEvaluator(degree, n_t, T)
    n = n_t * (degree + 1)
    ev.set_dofs([SPECIAL[i // 7 % len(SPECIAL)] if i % 7 == 3 else math.sin(i + 1) for i in range(n)])
    return ev


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


def test_panic_in_a_worker_process_reaches_the_parent(panic, diagnostics):
    ev = LegendreBasisEvaluator(1, 2, 1.0)
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as executor:
        future = executor.submit(operator.methodcaller("set_dofs", [1.0]), ev)
        with pytest.raises(panic) as info:
            future.result(timeout=120)
    assert type(info.value) is panic and info.value.args == (wrong_length(1, 4),)
    assert diagnostics() == [wrong_length(1, 4)]  # written by the worker, on the shared standard error


def test_a_process_that_only_unpickles_a_panic_creates_the_class(panic):
    error = panic("a message")
    error.add_note("a note")
    assert copy.copy(error).args == ("a message",)
    script = (
        "import pickle, sys\n"
        "e = pickle.loads(sys.stdin.buffer.read())\n"
        "t = type(e)\n"
        "print(t.__module__, t.__qualname__, t.__bases__[0].__name__, e.args, e.__notes__)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], input=pickle.dumps(error), capture_output=True, timeout=60)
    assert (out.returncode, out.stderr) == (0, b"")
    assert out.stdout.decode() == "pyo3_runtime PanicException BaseException ('a message',) ['a note']\n"


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


def test_version_is_the_projects_and_private_names_stay_out_of_all():
    pyproject = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    assert quorvel.__version__ == tomllib.loads(pyproject.read_text())["project"]["version"]
    assert "__version__" not in quorvel.__all__ and "_panic_from_pickle" not in quorvel.__all__
    changelog = (pyproject.parent / "CHANGELOG.md").read_text()
    assert f"## [{quorvel.__version__}]" in changelog
