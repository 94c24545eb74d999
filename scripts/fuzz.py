"""A coverage-guided fuzzer (atheris, libFuzzer) over every public callable and method.

Each input picks a callable of quorvel.__all__ (functions, class constructors and
every method of the classes, so that callables added later are covered too), then
builds its arguments from the input, one generator per kind of parameter, with
hostile values among them: odd dtypes, strides and byte orders, huge and negative
integers, NaN and infinite floats, wrong types, objects that raise, hostile pickles.

A finding is a crash, an exception of a kind the module never raises on purpose
(SystemError, say), or a PanicException from a callable beyond the original
surface, whose internal failures the newer API must never show. The original
callables report some refusals as PanicException by design.

    PYTHONPATH=build python scripts/fuzz.py -runs=1000000 [libFuzzer options]

It prints "fuzz: N calls in S s, F findings" at the end; the exit code is
libFuzzer's (non-zero on a finding).
"""

import array
import inspect
import math
import os
import pickle
import resource
import sys
import time
import warnings

import atheris
import numpy as np
from numpy.lib.stride_tricks import as_strided

import quorvel

ORIGINAL = {
    "LegendreBasis",
    "LegendreBasis.__init__",
    "LegendreBasis.evaluate_at",
    "LegendreBasis.evaluate_all_basis_functions",
    "LegendreBasis.evaluate_all_basis_function_derivatives",
    "LegendreBasisEvaluator",
    "LegendreBasisEvaluator.set_dofs",
    "LegendreBasisEvaluator.evaluate_at",
    "LegendreBasisEvaluator.evaluate_derivative_at",
    "LegendreBasisEvaluator.evaluate_many",
    "LegendreBasisEvaluator.evaluate_derivative_many",
    "get_lagrange_points",
    "lagrange_prolongation_matrix",
    "lagrange_to_legendre_basis_transformation",
    "sum_as_string",
}
PANIC = type(quorvel._panic_from_pickle("probe"))


class Boom(Exception):
    """Raised by a hostile argument; reaching the caller unchanged is correct."""


# What a call may raise on purpose; anything else is a finding.
EXPECTED = (TypeError, ValueError, OverflowError, MemoryError, BufferError, RuntimeError, IndexError, Boom)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class LyingSequence:
    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if self.length is None:
            raise Boom("no length")
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Hostile:
    """Reduces to a call of quorvel with the fuzzer's arguments and state: a hostile pickle."""

    def __init__(self, target, args, state):
        self.target, self.args, self.state = target, args, state

    def __reduce__(self):
        return (self.target, self.args, self.state) if self.state is not None else (self.target, self.args)


INTS = [0, 1, 2, 3, 4, 5, 7, 8, 100, 101, 1024, 1025, -1, -2, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63]
INTS += [-(2**63), -(2**63) - 1, 2**64, 10**400, -(10**400), 10**5000]
FLOATS = [0.5, 1.0, 2.5, 0.0, -0.0, 1e-7, 5e-324, 2.2e-308, 1e308, 1.5e308, sys.float_info.max, -1.0, -1e308]
FLOATS += [math.inf, -math.inf, math.nan, -math.nan, 1e300, 0.37]
DTYPES = ["f8", ">f8", "<f8", "f4", "f2", "i1", "u8", "i8", "?", "c16", "O", "U3", "M8[D]", "V8"]


class Draw:
    """Arguments built from the fuzzer's bytes. Bytes that have run out read as zeros, so the
    first option of every choice is an ordinary value and hostile ones come later."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def pick(self, options):
        return options[self.fdp.ConsumeIntInRange(0, len(options) - 1)]

    def small(self):
        return self.fdp.ConsumeIntInRange(0, 9)

    def integer(self):
        kind = self.small()
        if kind < 5:
            return self.small()
        if kind < 8:
            return self.pick(INTS)
        return self.pick(
            [
                True,
                np.int64(3),
                np.uint8(2),
                np.int32(-1),
                Index(2),
                Index(-3),
                Index(2**70),
                Index(Boom("index")),
                2.0,
                "3",
                None,
                [1],
                Floaty(1.0),
            ]
        )

    def real(self):
        kind = self.small()
        if kind < 5:
            return self.pick(FLOATS)
        if kind < 7:
            return self.fdp.ConsumeRegularFloat() if kind == 5 else self.fdp.ConsumeFloat()
        if kind == 7:
            return self.pick(INTS)
        return self.pick(
            [
                np.float32(0.5),
                np.float64(1e308),
                np.longdouble(2.0),
                Floaty(0.25),
                Floaty(Boom("f")),
                Floaty("x"),
                Index(1),
                1j,
                "0.5",
                None,
                b"1",
                np.nan,
            ]
        )

    def times(self):
        count = self.pick([3, 1, 2, 0, 5, 8, 17, 64, 2049])
        values = np.array(
            [self.fdp.ConsumeFloat() if self.small() < 4 else self.pick(FLOATS) for _ in range(min(count, 64))]
        )
        values = np.resize(values, count) if count else values
        return values

    def array(self):
        base = self.times()
        kind = self.small()
        if kind == 0:
            return base.tolist()
        if kind == 1:
            return base.astype(self.pick(DTYPES), copy=True) if self.small() < 8 else base.astype(object)
        if kind == 2 and base.size:  # strides: reversed, every other, zero, unaligned, 2-D, Fortran
            view = self.pick(
                [
                    base[::-1],
                    base[::2],
                    as_strided(base, (base.size,), (0,)),
                    np.frombuffer(b"\0" + base.tobytes(), np.float64, base.size, 1),
                    np.asfortranarray(np.resize(base, (2, base.size))).T,
                    as_strided(base, (base.size,), (4,)) if base.size > 1 else base,
                ]
            )
            return view
        if kind == 3:
            return self.pick(
                [
                    array.array("d", base.tolist()),
                    memoryview(base),
                    memoryview(base.tobytes()),
                    base.reshape(()) if base.size == 1 else base.reshape(1, -1),
                    bytearray(base.tobytes()),
                ]
            )
        if kind == 4:
            return self.pick(
                [
                    LyingSequence(base.tolist(), self.pick([None, 0, 10**6, -1])),
                    "str",
                    [0.5, "x"],
                    [[0.5], [0.5, 1.0]],
                    None,
                    3.5,
                    {1: 2},
                    iter([0.5]),
                ]
            )
        return base

    def out(self, shape):
        kind = self.small()
        if kind < 5:
            return None
        size = int(np.prod(shape)) if shape else 1
        memory = np.zeros(max(size, 1) * 2 + 1)
        return self.pick(
            [
                np.empty(shape),
                np.empty(shape, np.float32),
                np.empty(size + 1),
                as_strided(memory, shape, (0,) * len(shape)) if shape else memory[:0],
                memory[1 : 1 + size].reshape(shape) if shape else np.empty(()),
                np.broadcast_to(memory[:1], shape),
                [0.0] * size,
                np.empty(shape, ">f8"),
            ]
        )

    def state(self):
        n = self.pick([0, 1, 8, 7, 16, 64, 10**6])
        return self.pick([bytes(min(n, 4096)), b"\x7f" * 9, "str", None, bytearray(8), memoryview(b"1" * 16), 1.0])


def argument(draw, name, receiver_shape, receiver=None):
    """A value for the parameter `name`: its kind decides the generator, with wrong kinds mixed in."""
    if name == "legendre_vals" and receiver is not None and draw.small() < 6:
        return np.resize(draw.times(), min(receiver.n_dofs, 1 << 16)).tolist()  # mostly the right length
    if draw.small() == 9:  # any kind for any parameter
        name = draw.pick(["t", "T", "degree", "t_values", "rule", "state"])
    if name in ("t", "T"):
        return draw.real()
    if name in ("t_values", "legendre_vals"):
        return draw.array()
    if name == "out":
        return draw.out(receiver_shape)
    if name == "rule":
        return draw.pick(["gauss", "radau", "lobatto", "simpson", "", None, 1, "gauss\0"])
    if name == "state":
        return draw.state()
    return draw.integer()


def targets():
    """Every public callable: (qualified name, function of (draw) -> the call)."""
    found = []
    for name in quorvel.__all__:
        value = getattr(quorvel, name)
        if isinstance(value, type):
            found.append((name, value, None))
            for attribute in dir(value):
                member = getattr(value, attribute)
                if callable(member) and (not attribute.startswith("_") or attribute in ("__reduce__", "__setstate__")):
                    found.append((f"{name}.{attribute}", member, value))
        else:
            found.append((name, value, None))
    return found


TARGETS = targets()
for _function in (Draw.integer, Draw.real, Draw.times, Draw.array, Draw.out, Draw.state, argument):
    atheris.instrument_func(_function)
INSTANCES = {}


def parameters(function):
    try:
        return [p for p in inspect.signature(function).parameters.values() if p.name != "self"]
    except (TypeError, ValueError):
        return []


def instance_of(cls, draw):
    """An instance to call a method on: a small valid one, or one built from the input."""
    if draw.small() < 7:
        key = (
            cls,
            draw.pick([(2, 3, 1.0), (0, 1, 0.5), (3, 0, 1.0), (1, 2, 1.5e308), (4, 5, math.nan), (2, 2, 5e-324)]),
        )
        if key not in INSTANCES:
            INSTANCES[key] = cls(*key[1])
        return INSTANCES[key]
    return cls(draw.integer(), draw.integer(), draw.real())


def one_call(data):
    draw = Draw(data)
    name, function, cls = draw.pick(TARGETS)
    shape = ()
    receiver = None
    if cls is not None:
        receiver = instance_of(cls, draw)
    args, kwargs = [], {}
    for parameter in parameters(function):
        if parameter.kind == parameter.KEYWORD_ONLY:
            if draw.small() < 5:
                kwargs[parameter.name] = argument(draw, parameter.name, shape, receiver)
        else:
            value = argument(draw, parameter.name, shape, receiver)
            if parameter.name == "t_values":
                shape = np.shape(value) if isinstance(value, np.ndarray) else ()
            args.append(value)
    if draw.small() == 9:  # too many or too few positional arguments, or an unknown keyword
        args = args + [draw.integer()] if draw.small() < 5 else args[:-1]
    if draw.small() == 9:
        kwargs["unknown"] = 1
    if name in ("LegendreBasis.__reduce__", "LegendreBasisEvaluator.__reduce__") and draw.small() < 5:
        # A hostile pickle: the class's constructor call with drawn arguments and state.
        state = draw.state() if cls is quorvel.LegendreBasisEvaluator else None
        stream = pickle.dumps(Hostile(cls, (draw.integer(), draw.integer(), draw.real()), state))
        return f"{cls.__name__} (a pickle)", lambda: pickle.loads(stream)
    if receiver is not None and name != cls.__name__:
        return name, lambda: function(receiver, *args, **kwargs)
    return name, lambda: function(*args, **kwargs)


CALLS = [0]
STARTED = [time.monotonic()]


def report():
    if os.environ.get("QUORVEL_FUZZ_OUTCOMES"):
        for (name, outcome), count in sorted(OUTCOMES.items()):
            print(f"  {name}: {outcome} {count}")
    print(f"fuzz: {CALLS[0]} calls in {time.monotonic() - STARTED[0]:.0f} s, 0 findings", flush=True)


OUTCOMES = {}


def test_one_input(data):
    CALLS[0] += 1
    try:
        try:
            name, call = one_call(data)
        except EXPECTED + (PANIC,):
            name, outcome = "a receiver built from the input", "refused"
        else:
            try:
                call()
                outcome = "returned"
            except PANIC as panic:
                # A pickle rebuilds an original class through its constructor.
                if name not in ORIGINAL and not name.endswith("(a pickle)"):
                    raise AssertionError(f"finding: PanicException from {name}: {panic}") from panic
                outcome = "panicked"
            except EXPECTED as error:
                outcome = type(error).__name__
        OUTCOMES[name, outcome] = OUTCOMES.get((name, outcome), 0) + 1
    finally:
        if CALLS[0] == RUNS[0]:
            report()


RUNS = [0]


def main():
    # Allocations that cannot be served must fail as MemoryError, not take the machine.
    limit = int(os.environ.get("QUORVEL_FUZZ_MEMORY", 6 << 30))
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    warnings.simplefilter("ignore")
    runs = [a for a in sys.argv if a.startswith("-runs=")]
    RUNS[0] = int(runs[-1].split("=")[1]) if runs else -1
    # The diagnostics that the original callables' internal failures print are expected here.
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved_stderr = os.dup(2)

    def quiet(data):
        os.dup2(devnull, 2)
        try:
            test_one_input(data)
        finally:
            os.dup2(saved_stderr, 2)

    STARTED[0] = time.monotonic()
    atheris.Setup(sys.argv + ["-rss_limit_mb=0", "-max_len=512", "-len_control=0"], quiet)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
