"""Misbehaving arguments, and a model of how the module converts arguments.

The model converts a value the way the module documents it (unsigned 32-bit
integers, doubles, sequences of doubles, float64 buffers) and either returns
the converted value or raises the exception the module must raise. Hostile
objects run an *action* whenever the module asks them for their value: raise,
or call back into the module, possibly into the very instance being called.
"""

import ctypes
import inspect
import operator

import numpy as np

import quorvel

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1


class Boom(Exception):
    """Raised by a hostile argument; must reach the caller unchanged."""


PANIC = type(quorvel._panic_from_pickle("probe"))

ACTIONS = ("none", "boom", "module", "read_evaluator", "write_evaluator", "read_basis")


class Reentry:
    """The instances that actions call back into, and what those calls met.

    `context` says which borrow the call under test holds on `evaluator`:
    "shared", "exclusive", or None when the call is not on it.
    """

    evaluator = None
    evaluator_dofs = None  # what a write action stores: the evaluator's current DOFs
    basis = None
    context = None
    quiet = False  # while the model converts: raise if asked to, call nothing
    attempts = []  # (action, None or the RuntimeError's message)
    buffer_gets = 0
    buffer_releases = 0

    @classmethod
    def reset(cls, evaluator=None, evaluator_dofs=None, basis=None, context=None):
        cls.evaluator, cls.evaluator_dofs, cls.basis, cls.context = evaluator, evaluator_dofs, basis, context
        cls.attempts = []
        cls.buffer_gets = cls.buffer_releases = 0

    @classmethod
    def violations(cls):
        """Calls back whose borrow outcome breaks the rules for the current context."""
        expected = {
            "shared": {"write_evaluator": "Already borrowed"},
            "exclusive": {"write_evaluator": "Already borrowed", "read_evaluator": "Already mutably borrowed"},
        }.get(cls.context, {})
        return [(a, m) for a, m in cls.attempts if m != expected.get(a)]


def act(action):
    if action == "boom":
        raise Boom("hostile argument")
    if Reentry.quiet or action == "none":
        return
    try:
        if action == "module":
            quorvel.sum_as_string(1, 2)
            quorvel.get_lagrange_points(2, 2, 1.0)
        elif action == "read_evaluator" and Reentry.evaluator is not None:
            Reentry.evaluator.evaluate_at(0.5)
            Reentry.evaluator.evaluate_derivative_many(np.zeros(3))
        elif action == "write_evaluator" and Reentry.evaluator is not None:
            Reentry.evaluator.set_dofs(Reentry.evaluator_dofs)
        elif action == "read_basis" and Reentry.basis is not None:
            Reentry.basis.evaluate_all_basis_functions(0.5)
        else:
            return
    except RuntimeError as e:
        Reentry.attempts.append((action, str(e)))
        return
    except PANIC:
        pass  # e.g. an instance without intervals: not a borrow matter
    Reentry.attempts.append((action, None))


class Index:
    def __init__(self, value, action="none"):
        self.value, self.action = value, action

    def __index__(self):
        act(self.action)
        return self.value

    def __repr__(self):
        return f"Index({self.value!r}, {self.action!r})"


class Floaty:
    def __init__(self, value, action="none"):
        self.value, self.action = value, action

    def __float__(self):
        act(self.action)
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r}, {self.action!r})"


class FloatSub(float):
    pass


class HostileSequence:
    """A sequence whose length lies or fails, and whose items may fail at one index."""

    def __init__(self, items, length, fail_at=None, action="none"):
        self.items, self.length, self.fail_at, self.action = items, length, fail_at, action

    def __len__(self):
        if self.length is None:
            raise Boom("no length")
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            act(self.action)
        return self.items[i]  # IndexError ends the iteration

    def __repr__(self):
        return f"HostileSequence({self.items!r}, {self.length!r}, {self.fail_at!r}, {self.action!r})"


class Exporter:
    """A buffer exporter written in Python that may misbehave when asked for its buffer."""

    def __init__(self, inner, action="none"):
        self.inner, self.action = inner, action

    def __buffer__(self, flags):
        act(self.action)
        view = memoryview(self.inner)
        if not Reentry.quiet:
            Reentry.buffer_gets += 1
        return view

    def __release_buffer__(self, view):
        if not Reentry.quiet:
            Reentry.buffer_releases += 1
        view.release()

    def __repr__(self):
        return f"Exporter({self.inner!r}, {self.action!r})"


# ---------------------------------------------------------------- the model

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int


def model_u32(value):
    i = operator.index(value)
    if i < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if i > U64_MAX:
        raise OverflowError("int too big to convert")
    if i > U32_MAX:
        raise OverflowError("out of range integral type conversion attempted")
    return i


def model_double(value):
    if isinstance(value, float):
        return float(value)
    if hasattr(type(value), "__float__") or hasattr(type(value), "__index__"):
        return float(value) if hasattr(type(value), "__float__") else float(operator.index(value))
    raise TypeError(f"must be real number, not {type(value).__name__}")


def model_sequence(value):
    if isinstance(value, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _sequence_check(value):
        raise TypeError(f"'{type(value).__qualname__}' object cannot be cast as 'Sequence'")
    return [model_double(item) for item in value]


def model_buffer(value):
    """The times the batch methods read from value, in row-major order."""
    if not hasattr(type(value), "__buffer__"):
        raise TypeError(f"a bytes-like object is required, not '{type(value).__name__}'")
    view = value.__buffer__(inspect.BufferFlags.FULL_RO)
    with view:
        if view.ndim == 0:
            raise BufferError("shape is null")
        if isinstance(value, ctypes.Array):  # ctypes exports no strides
            raise BufferError("strides is null")
        if view.itemsize != 8 or view.format not in ("d", "@d", "=d", "<d"):
            raise BufferError("buffer contents are not compatible with f64")
        as_array = np.asarray(view)
        if as_array.__array_interface__["data"][0] % 8:
            raise BufferError("buffer contents are insufficiently aligned for f64")
        return as_array.ravel(order="C").tolist()


def modelled(convert, value):
    """The model's conversion with calls back switched off."""
    Reentry.quiet = True
    try:
        return convert(value)
    finally:
        Reentry.quiet = False


class Expected(Exception):
    """Wraps the exception the model predicts, with the parameter it belongs to."""

    def __init__(self, error, name=None):
        super().__init__(error)
        self.error, self.name = error, name


def model_arguments(params):
    """Converts (name, kind, value) triples in order; raises Expected at the first failure."""
    converted = []
    for name, convert, value in params:
        try:
            converted.append(modelled(convert, value))
        except Exception as e:  # noqa: BLE001 - the model reports whatever the value raises
            raise Expected(e, name) from None
    return converted


def assert_same_failure(actual, expected):
    """The module's exception matches the model's: type, message, and the TypeError prefix."""
    error, name = expected.error, expected.name
    assert type(actual) is type(error), f"{actual!r} instead of {error!r}"
    if type(error) is TypeError and name is not None:
        assert str(actual) == f"argument '{name}': {error}"
        assert type(actual.__cause__) is TypeError
    else:
        assert str(actual) == str(error)


def outcome(call):
    """("ok", result) or ("err", exception); only a crash escapes."""
    try:
        return "ok", call()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return "err", e
