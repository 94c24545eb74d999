"""The module as a whole: import, __all__, __version__, the binding and conversion rules every
callable shares, and PanicException."""

import concurrent.futures
import copy
import multiprocessing
import operator
import pathlib
import pickle
import re
import subprocess
import sys
import tomllib

import numpy as np
import pytest
from conftest import Index, wrong_length

import quorvel
from quorvel import LegendreBasisEvaluator

# ---------------------------------------------------------------- import, __all__, __version__


EXPECTED_ALL = [
    "sum_as_string",
    "lagrange_to_legendre_basis_transformation",
    "lagrange_prolongation_matrix",
    "get_lagrange_points",
    "LegendreBasis",
    "LegendreBasisEvaluator",
    # additions after the original six
    "lagrange_prolongation_csr",
    "lagrange_to_legendre_csr",
    "legendre_mass_matrix",
    "legendre_dg_time_matrix",
    "lagrange_mass_matrix",
    "lagrange_derivative_matrix",
    "quadrature",
    "LegendreExpansion",
    "solve_dg",
    "solve_cg",
    "legendre_dg_local_matrices",
    "lagrange_cg_time_matrices",
]


def test_all_lists_attributes_in_registration_order():
    assert quorvel.__all__ == EXPECTED_ALL
    assert all(hasattr(quorvel, name) for name in quorvel.__all__)


def test_version_is_the_projects_and_private_names_stay_out_of_all():
    pyproject = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    assert quorvel.__version__ == tomllib.loads(pyproject.read_text())["project"]["version"]
    assert "__version__" not in quorvel.__all__ and "_panic_from_pickle" not in quorvel.__all__
    changelog = (pyproject.parent / "CHANGELOG.md").read_text()
    assert f"## [{quorvel.__version__}]" in changelog


def test_reimport_returns_same_module_object():
    first = sys.modules.pop("quorvel")
    import quorvel as again

    assert again is first
    sys.modules["quorvel"] = first


def test_import_is_quiet_under_warnings_as_errors():
    out = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import quorvel; print(quorvel.LegendreBasis.__module__)"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout == "quorvel\n"


def test_import_leaves_numpy_and_scipy_out():
    code = "import sys, quorvel; print(sorted(m for m in ('numpy', 'scipy') if m in sys.modules))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "[]", out.stderr
    assert quorvel.__name__ == "quorvel"


def test_import_quorvel_leaves_scipy_unimported():
    script = "import sys, quorvel; print('scipy' in sys.modules, 'numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["False", "False"]


def test_list_and_buffer_calls_leave_numpy_out_and_the_module_uses_the_stable_abi():
    # The sequence conversion reads array.array and bytes-like buffers without importing
    # NumPy to tell an ndarray apart; and the one build serves every CPython from 3.13.
    script = (
        "import array, sys, quorvel\n"
        "b = quorvel.LegendreBasis(0, 2, 1.0)\n"
        "values = [b.evaluate_at(0.75, d) for d in ([1.0, 2.0], (1, 2.0), array.array('d', [1.0, 2.0]))]\n"
        "print(values, 'numpy' in sys.modules, quorvel.__file__.rsplit('/', 1)[-1])"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split(maxsplit=3) == ["[2.0,", "2.0,", "2.0]", "False quorvel.abi3.so\n"]


def test_second_interpreter_is_refused():
    # A legacy sub-interpreter shares the lock and would run the initializer.
    script = r"""
import _interpreters, quorvel
interp = _interpreters.create('legacy')
for _ in range(2):
    info = _interpreters.run_string(interp, "import quorvel")
    print(info.type.__name__, info.msg)
print(quorvel.sum_as_string(1, 2))
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    refusal = "ImportError PyO3 modules do not yet support subinterpreters, see "
    assert lines[0].startswith(refusal) and lines[1].startswith(refusal)
    assert lines[2] == "3"


def test_sub_interpreters_of_every_kind_are_refused_before_and_after_the_main_import():
    # A sub-interpreter may try first: the interpreter then initialises single-phase
    # modules in the main interpreter, which becomes the owner. Isolated interpreters
    # refuse single-phase modules themselves, before the module's own check runs.
    script = r"""
import _interpreters
def attempt(kind):
    interp = _interpreters.create(kind)
    for _ in range(3):
        info = _interpreters.run_string(interp, "import quorvel")
        print(kind, "|", info.type.__name__, "|", info.msg)
    _interpreters.destroy(interp)
attempt("legacy")
attempt("isolated")
import numpy as np, quorvel
attempt("legacy")
ev = quorvel.LegendreBasisEvaluator(1, 2, 2.0)
ev.set_dofs([1, 2, 3, 4])
print(ev.evaluate_many(np.full(4096, 0.5)) == [1.0] * 4096, quorvel.sum_as_string(1, 2))
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = [line.split(" | ") for line in out.stdout.splitlines()]
    ours = "PyO3 modules do not yet support subinterpreters, see "
    for kind, exc, message in lines[:9]:
        assert exc == "ImportError"
        if kind == "legacy":
            assert message.startswith(ours) and len(message) > len(ours)
        else:
            assert message == "module quorvel does not support loading in subinterpreters"
    assert [kind for kind, _, _ in lines[:9]] == ["legacy"] * 3 + ["isolated"] * 3 + ["legacy"] * 3
    assert lines[9] == ["True 3"]


# ---------------------------------------------------------------- binding and conversion rules


@pytest.mark.parametrize("cls", [quorvel.LegendreBasis, quorvel.LegendreBasisEvaluator])
def test_interpreter_messages_name_the_class_unqualified(cls):
    # CPython words these from the type's own name, which every build keeps unqualified.
    name = cls.__name__
    obj = cls(1, 1, 1.0)
    for action, exc, message in [
        (lambda: type("Sub", (cls,), {}), TypeError, f"type '{name}' is not an acceptable base type"),
        (lambda: obj.missing, AttributeError, f"'{name}' object has no attribute 'missing'"),
        (
            lambda: cls.__dict__["__reduce__"](1.5),
            TypeError,
            f"descriptor '__reduce__' for '{name}' objects doesn't apply to a 'float' object",
        ),
        (lambda: cls.__new__(int), TypeError, f"{name}.__new__(int): int is not a subtype of {name}"),
        (lambda: __import__("weakref").ref(obj), TypeError, f"cannot create weak reference to '{name}' object"),
    ]:
        with pytest.raises(exc) as info:
            action()
        assert str(info.value) == message
    assert (repr(cls), cls.__qualname__) == (f"<class 'quorvel.{name}'>", name)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: quorvel.sum_as_string(), "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: quorvel.sum_as_string(1), "sum_as_string() missing 1 required positional argument: 'b'"),
        (lambda: quorvel.sum_as_string(b=1), "sum_as_string() missing 1 required positional argument: 'a'"),
        (lambda: quorvel.sum_as_string(1, 2, 3), "sum_as_string() takes 2 positional arguments but 3 were given"),
        (lambda: quorvel.sum_as_string(1, a=2), "sum_as_string() got multiple values for argument 'a'"),
        (lambda: quorvel.sum_as_string(1, c=2), "sum_as_string() got an unexpected keyword argument 'c'"),
        # The unknown keyword is reported before the missing argument.
        (lambda: quorvel.sum_as_string(c=2), "sum_as_string() got an unexpected keyword argument 'c'"),
        (lambda: quorvel.sum_as_string(1, 2, 3, d=4), "sum_as_string() takes 2 positional arguments but 3 were given"),
        (
            lambda: quorvel.LegendreBasis(),
            "LegendreBasis.__new__() missing 3 required positional arguments: 'degree', 'n_t', and 'T'",
        ),
        (
            lambda: quorvel.LegendreBasis(1, T=2.0),
            "LegendreBasis.__new__() missing 1 required positional argument: 'n_t'",
        ),
        (
            lambda: quorvel.LegendreBasis(1, 2, 3, 4),
            "LegendreBasis.__new__() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: quorvel.LegendreBasis(1, 2, 3.0, n_t=4),
            "LegendreBasis.__new__() got multiple values for argument 'n_t'",
        ),
        (
            lambda: quorvel.LegendreBasis(1, 1, 1.0).evaluate_at(),
            "LegendreBasis.evaluate_at() missing 2 required positional arguments: 't' and 'legendre_vals'",
        ),
        (
            lambda: quorvel.LegendreBasis(1, 1, 1.0).evaluate_all_basis_functions(x=1),
            "LegendreBasis.evaluate_all_basis_functions() got an unexpected keyword argument 'x'",
        ),
        (
            lambda: quorvel.LegendreBasis(1, 1, 1.0).evaluate_all_basis_function_derivatives(1, 2),
            "LegendreBasis.evaluate_all_basis_function_derivatives() takes 1 positional arguments but 2 were given",
        ),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert info.value.__cause__ is None


@pytest.mark.refusable_allocation
def test_argument_errors_name_the_parameter():
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        quorvel.get_lagrange_points(4294967296, 1, 1.0)
    with pytest.raises(OverflowError):
        quorvel.lagrange_prolongation_matrix(1, -2, 1)
    with pytest.raises(TypeError, match="^argument 'nt_fine': "):
        quorvel.lagrange_prolongation_matrix(1, 2.0, 1)
    with pytest.raises(TypeError, match="^argument 'T': "):
        quorvel.get_lagrange_points(1, 1, None)
    with pytest.raises(TypeError, match=r"^lagrange_to_legendre_basis_transformation\(\) missing 1 required"):
        quorvel.lagrange_to_legendre_basis_transformation(1)
    with pytest.raises(MemoryError):
        quorvel.get_lagrange_points(2**31, 2**28, 1.0)
    assert quorvel.get_lagrange_points(1, 1, 1.0) == [0.0, 1.0]


@pytest.mark.parametrize(
    ("value", "exc", "message"),
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (2**32, OverflowError, "out of range integral type conversion attempted"),
        (2**64 - 1, OverflowError, "out of range integral type conversion attempted"),
        (1.5, TypeError, "argument 'a': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'a': 'str' object cannot be interpreted as an integer"),
        (Index(-3), OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_unsigned_conversion_failures(value, exc, message):
    with pytest.raises(exc) as info:
        quorvel.sum_as_string(value, 1)
    assert type(info.value) is exc
    assert str(info.value) == message
    if exc is TypeError:
        cause = info.value.__cause__
        assert type(cause) is TypeError
        assert message == "argument 'a': " + str(cause)


def test_index_error_of_another_type_passes_unchanged():
    class Broken:
        def __index__(self):
            raise ValueError("no index today")

    with pytest.raises(ValueError, match="^no index today$"):
        quorvel.sum_as_string(1, Broken())


class FloatLike:
    def __float__(self):
        return 0.75


class FloatSubclass(float):
    pass


@pytest.mark.parametrize("t", [0.75, FloatSubclass(0.75), FloatLike(), np.float64(0.75), Index(1)])
def test_double_conversion_accepts_numbers(t):
    basis = quorvel.LegendreBasis(0, 2, 1.0)
    expected = 2.0 if float(t) >= 0.5 else 1.0
    assert basis.evaluate_at(t, [1.0, 2.0]) == expected


@pytest.mark.parametrize(
    ("t", "exc", "message"),
    [
        ("0.5", TypeError, "argument 't': must be real number, not str"),
        (None, TypeError, "argument 't': must be real number, not NoneType"),
        (10**400, OverflowError, "int too large to convert to float"),
    ],
)
def test_double_conversion_failures(t, exc, message):
    with pytest.raises(exc) as info:
        quorvel.LegendreBasis(0, 2, 1.0).evaluate_at(t, [1.0, 2.0])
    assert str(info.value) == message


@pytest.mark.parametrize(
    "dofs",
    [[1, 2], (1, 2), range(1, 3), np.array([1.0, 2.0]), np.array([1, 2], dtype=np.int32), [np.float32(1), True + 1]],
)
def test_sequence_conversion_accepts_sequences(dofs):
    assert quorvel.LegendreBasis(0, 2, 1.0).evaluate_at(0.75, dofs) == 2.0


class Reshaping:
    """A value whose conversion changes the list that holds it."""

    def __init__(self, change, value):
        self.change, self.value, self.holder = change, value, None

    def __float__(self):
        self.change(self.holder)
        return self.value


@pytest.mark.parametrize(
    "change",
    [
        lambda held: held.clear(),
        lambda held: held.append(4.0),
        lambda held: held.pop(1),  # drops the list's reference to the value being converted
        lambda held: held.__setitem__(2, 9.0),
        lambda held: held.insert(2, 8.0),
    ],
    ids=["clear", "append", "drop", "replace", "insert"],
)
def test_a_list_changed_while_converted_reads_as_iteration_does(change):
    def build():
        held = [1.0, Reshaping(change, 2.0), 3.0]
        held[1].holder = held
        return held

    expected = [float(x) for x in build()]
    ev = quorvel.LegendreBasisEvaluator(0, len(expected), 1.0)
    ev.set_dofs(build())
    assert ev.dofs.tolist() == expected


class BadLength(list):
    def __len__(self):
        raise RuntimeError("length fails")


class HugeLength(list):
    def __len__(self):
        return 2**62


@pytest.mark.parametrize("dofs", [BadLength([1.0, 2.0]), HugeLength([1.0, 2.0])])
def test_sequence_length_is_only_a_hint(dofs):
    assert quorvel.LegendreBasis(0, 2, 1.0).evaluate_at(0.75, dofs) == 2.0


@pytest.mark.parametrize(
    ("dofs", "exc", "message"),
    [
        ("ab", TypeError, "argument 'legendre_vals': Can't extract `str` to `Vec`"),
        (type("S", (str,), {})("ab"), TypeError, "argument 'legendre_vals': Can't extract `str` to `Vec`"),
        ((x for x in [1.0]), TypeError, "argument 'legendre_vals': 'generator' object cannot be cast as 'Sequence'"),
        ({0: 1.0, 1: 2.0}, TypeError, "argument 'legendre_vals': 'dict' object cannot be cast as 'Sequence'"),
        (5, TypeError, "argument 'legendre_vals': 'int' object cannot be cast as 'Sequence'"),
        ([1.0, "x"], TypeError, "argument 'legendre_vals': must be real number, not str"),
        ([1.0, 10**400], OverflowError, "int too large to convert to float"),
    ],
)
def test_sequence_conversion_failures(dofs, exc, message):
    with pytest.raises(exc) as info:
        quorvel.LegendreBasis(0, 2, 1.0).evaluate_at(0.75, dofs)
    assert type(info.value) is exc
    assert str(info.value) == message


# ---------------------------------------------------------------- PanicException


def test_panic_exception_class(panic, capfd):
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__name__ == "PanicException"
    assert panic.__qualname__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "BaseException" in panic.__doc__
    assert not any(obj is panic for obj in vars(quorvel).values())
    with pytest.raises(BaseException) as info:
        try:
            quorvel.LegendreBasis(1, 2, 1.0).evaluate_at(0.25, [1.0, 2.0, 3.0])
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught by a handler for Exception")
    assert type(info.value) is panic  # created once, reused
    assert info.value.args == ("Matrix view: input data buffer too small.",)
    err = capfd.readouterr().err
    assert re.fullmatch(
        r"quorvel: internal failure in thread 'main' at src/python/legendre_basis_class\.cpp:\d+:\d+:\n"
        r"Matrix view: input data buffer too small\.\n",
        err,
    ), err


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
