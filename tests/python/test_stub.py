"""The type stub against the module.

Run by pytest and checked by `mypy --strict` (make lint): every call here that
mypy accepts must work at run time and return the type the stub declares, and
every call marked `type: ignore` must be refused by mypy (an unused ignore is
an error under --strict) and fail at run time.
"""

import array
import ast
import pathlib
import typing
from collections.abc import Callable
from typing import assert_type

import numpy as np
import numpy.typing as npt
import pytest
import scipy.sparse

import quorvel

STUB = pathlib.Path(__file__).resolve().parents[2] / "stubs" / "quorvel.pyi"


def declared_results() -> dict[str, list[object]]:
    """The return annotations of every public function and method of the stub (one per
    overload), by qualified name."""
    names: dict[str, object] = {"list": list, "tuple": tuple, "int": int, "float": float, "str": str, "None": None}
    names |= {"np": np, "npt": npt, "csr_array": scipy.sparse.csr_array, "Any": typing.Any}  # what the stub imports
    names |= {"LegendreExpansion": quorvel.LegendreExpansion}  # returned before its class is read
    results: dict[str, list[object]] = {}

    def collect(body: list[ast.stmt], prefix: str) -> None:
        for node in body:
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
                names[node.name] = getattr(quorvel, node.name)
                collect(node.body, f"{node.name}.")
            elif isinstance(node, ast.FunctionDef) and node.returns and not node.name.startswith("_"):
                results.setdefault(prefix + node.name, []).append(eval(ast.unparse(node.returns), {}, names))
            elif isinstance(node, ast.FunctionDef) and node.name == "__call__" and node.returns:
                results[prefix + node.name] = [eval(ast.unparse(node.returns), {}, names)]
            elif isinstance(node, ast.FunctionDef) and node.name == "__new__":
                results[prefix + node.name] = [names[prefix.rstrip(".")]]

    collect(ast.parse(STUB.read_text()).body, "")
    return results


def conforms(value: object, hint: object) -> bool:
    if hint is None:
        return value is None
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if origin is list:
        return type(value) is list and all(conforms(item, args[0]) for item in value)
    if origin is tuple and args[-1] is Ellipsis:
        return type(value) is tuple and all(conforms(item, args[0]) for item in value)
    if origin is tuple:
        return type(value) is tuple and len(value) == len(args) and all(map(conforms, value, args))
    if origin is npt.NDArray:
        return type(value) is np.ndarray and value.dtype == np.dtype(args[0])
    if origin is scipy.sparse.csr_array:  # csr_array[dtype, shape]
        return type(value) is origin and value.dtype == args[0] and conforms(value.shape, args[1])
    return type(value) is hint


def sample_calls() -> dict[str, Callable[[], object]]:
    """One call of every function and method, with the result type mypy must infer from the stub."""
    basis = quorvel.LegendreBasis(2, 3, 1.5)
    evaluator = quorvel.LegendreBasisEvaluator(degree=2, n_t=3, T=1.5)
    dofs = np.linspace(-1.0, 1.0, 9)
    times = np.linspace(0.0, 1.5, 5)
    triplets = tuple[list[int], list[int], list[float]]
    matrix = scipy.sparse.csr_array[np.float64, tuple[int, int]]
    expansion = quorvel.LegendreExpansion(np.ones((3, 3, 2)), 1.5)
    return {
        "sum_as_string": lambda: assert_type(quorvel.sum_as_string(2, b=3), str),
        "lagrange_to_legendre_basis_transformation": lambda: assert_type(
            quorvel.lagrange_to_legendre_basis_transformation(2, 3), triplets
        ),
        "lagrange_prolongation_matrix": lambda: assert_type(quorvel.lagrange_prolongation_matrix(3, 6, 2), triplets),
        "get_lagrange_points": lambda: assert_type(quorvel.get_lagrange_points(2, 3, 1), list[float]),
        "lagrange_prolongation_csr": lambda: assert_type(quorvel.lagrange_prolongation_csr(3, 6, 2), matrix),
        "lagrange_to_legendre_csr": lambda: assert_type(quorvel.lagrange_to_legendre_csr(2, n_t=3), matrix),
        "LegendreBasis.__new__": lambda: assert_type(
            quorvel.LegendreBasis(T=1.0, n_t=4, degree=2), quorvel.LegendreBasis
        ),
        "LegendreBasis.evaluate_at": lambda: assert_type(basis.evaluate_at(0.2, dofs), float),
        "LegendreBasis.evaluate_all_basis_functions": lambda: assert_type(
            basis.evaluate_all_basis_functions(1), list[float]
        ),
        "LegendreBasis.evaluate_all_basis_function_derivatives": lambda: assert_type(
            basis.evaluate_all_basis_function_derivatives(t=0.7), list[float]
        ),
        "LegendreBasisEvaluator.__new__": lambda: assert_type(
            quorvel.LegendreBasisEvaluator(1, 2, 1.0), quorvel.LegendreBasisEvaluator
        ),
        "LegendreBasisEvaluator.set_dofs": lambda: assert_type(evaluator.set_dofs(dofs), None),
        "LegendreBasisEvaluator.evaluate_at": lambda: assert_type(evaluator.evaluate_at(0.4), float),
        "LegendreBasisEvaluator.evaluate_derivative_at": lambda: assert_type(
            evaluator.evaluate_derivative_at(t=0.4), float
        ),
        "LegendreBasisEvaluator.evaluate_many": lambda: assert_type(evaluator.evaluate_many(times), list[float]),
        "LegendreBasisEvaluator.evaluate_derivative_many": lambda: assert_type(
            evaluator.evaluate_derivative_many(t_values=times.reshape(5, 1)), list[float]
        ),
        "legendre_mass_matrix": lambda: assert_type(quorvel.legendre_mass_matrix(2, 3, 1.0), matrix),
        "legendre_dg_time_matrix": lambda: assert_type(quorvel.legendre_dg_time_matrix(2, 3, T=1.0), matrix),
        "lagrange_mass_matrix": lambda: assert_type(quorvel.lagrange_mass_matrix(2, 3, 1.0), matrix),
        "lagrange_derivative_matrix": lambda: assert_type(
            quorvel.lagrange_derivative_matrix(degree=2, n_t=3, T=1.0), matrix
        ),
        "LegendreBasis.tabulate": lambda: assert_type(
            basis.tabulate(times, derivative=1), tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]
        ),
        "LegendreBasisEvaluator.evaluate": lambda: assert_type(
            evaluator.evaluate(times, derivative=2, out=np.empty(5)), npt.NDArray[np.float64]
        ),
        "quadrature": lambda: assert_type(
            quorvel.quadrature(3, 2, 1.0, rule="radau"), tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]
        ),
        "quadrature (intervals)": lambda: assert_type(
            quorvel.quadrature(3, 2, 1.0, rule="radau", return_intervals=True),
            tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.int64]],
        ),
        "LegendreExpansion.__new__": lambda: assert_type(
            quorvel.LegendreExpansion(np.ones((2, 3, 4)), 1.5), quorvel.LegendreExpansion
        ),
        "LegendreExpansion.__call__": lambda: assert_type(
            expansion(times, derivative=1, side="left"), npt.NDArray[np.float64]
        ),
        "LegendreExpansion.derivative": lambda: assert_type(expansion.derivative(2), quorvel.LegendreExpansion),
        "LegendreExpansion.integrate": lambda: assert_type(expansion.integrate(b=1.0), npt.NDArray[np.float64]),
        "LegendreExpansion.project": lambda: assert_type(
            quorvel.LegendreExpansion.project(np.cos, 2, 3, 1.5, n_points=4), quorvel.LegendreExpansion
        ),
        "LegendreExpansion.from_lagrange": lambda: assert_type(
            quorvel.LegendreExpansion.from_lagrange(np.ones(7), 2, 3, 1.5), quorvel.LegendreExpansion
        ),
        "solve_dg": lambda: assert_type(
            quorvel.solve_dg(None, np.eye(2), np.ones(2), degree=1, n_t=2, T=1.0), quorvel.LegendreExpansion
        ),
        "solve_cg": lambda: assert_type(
            quorvel.solve_cg(
                np.eye(2),
                scipy.sparse.eye_array(2),
                [1.0, 0.0],
                degree=2,
                n_t=3,
                T=0.5,
                f=lambda t: np.ones((t.size, 2)),
            ),
            quorvel.LegendreExpansion,
        ),
        "legendre_dg_local_matrices": lambda: assert_type(
            quorvel.legendre_dg_local_matrices(2),
            tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]],
        ),
        "lagrange_cg_time_matrices": lambda: assert_type(
            quorvel.lagrange_cg_time_matrices(2, 3, 1.0), tuple[matrix, matrix]
        ),
        "LegendreExpansion.degree": lambda: assert_type(expansion.degree, int),
        "LegendreExpansion.n_t": lambda: assert_type(expansion.n_t, int),
        "LegendreExpansion.T": lambda: assert_type(expansion.T, float),
        "LegendreExpansion.trailing_shape": lambda: assert_type(expansion.trailing_shape, tuple[int, ...]),
        "LegendreExpansion.coefficients": lambda: assert_type(expansion.coefficients, npt.NDArray[np.float64]),
        # The read-only attributes.
        "LegendreBasis.degree": lambda: assert_type(basis.degree, int),
        "LegendreBasis.n_t": lambda: assert_type(basis.n_t, int),
        "LegendreBasis.T": lambda: assert_type(basis.T, float),
        "LegendreBasis.n_dofs": lambda: assert_type(basis.n_dofs, int),
        "LegendreBasisEvaluator.degree": lambda: assert_type(evaluator.degree, int),
        "LegendreBasisEvaluator.n_t": lambda: assert_type(evaluator.n_t, int),
        "LegendreBasisEvaluator.T": lambda: assert_type(evaluator.T, float),
        "LegendreBasisEvaluator.n_dofs": lambda: assert_type(evaluator.n_dofs, int),
        "LegendreBasisEvaluator.dofs": lambda: assert_type(evaluator.dofs, npt.NDArray[np.float64]),
    }


def test_every_callable_returns_the_declared_type() -> None:
    declared = declared_results()
    calls = sample_calls()
    # A call named "NAME (VARIANT)" exercises another overload of NAME.
    assert sorted(declared) == sorted({name.split(" (")[0] for name in calls})
    for name, call in calls.items():
        result = call()
        hints = declared[name.split(" (")[0]]
        assert any(conforms(result, hint) for hint in hints), f"{name} returned {result!r}, declared {hints}"


def test_stub_lists_the_module_contents() -> None:
    tree = ast.parse(STUB.read_text())
    stub_all = next(
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and ast.unparse(node.targets[0]) == "__all__"
    )
    assert stub_all == quorvel.__all__


def test_sequences_the_stub_accepts_work() -> None:
    evaluator = quorvel.LegendreBasisEvaluator(1, 2, 1.0)
    basis = quorvel.LegendreBasis(1, 2, 1.0)
    for dofs in ([1, 2, 3, 4], (1.0, 2.0, 3.0, 4.0), range(1, 5), array.array("d", [1, 2, 3, 4]), np.arange(1, 5)):
        evaluator.set_dofs(dofs)
        assert evaluator.evaluate_at(0.25) == 1.0
        assert basis.evaluate_at(0.25, dofs) == 1.0
    for times in (np.array([0.25]), array.array("d", [0.25]), memoryview(np.array([[0.25]]))):
        assert evaluator.evaluate_many(times) == [1.0]


@pytest.mark.parametrize(
    "call",
    [
        lambda: quorvel.LegendreBasis(1.0, 2, 1.0),  # type: ignore[arg-type]
        lambda: quorvel.get_lagrange_points(1, "2", 1.0),  # type: ignore[arg-type]
        lambda: quorvel.LegendreBasis(1, 2, 1.0).evaluate_at(0.5, "abcd"),  # type: ignore[arg-type]
        lambda: quorvel.LegendreBasis(1, 2, 1.0).evaluate_at(0.5, {0: 1.0}),  # type: ignore[arg-type]
        lambda: quorvel.LegendreBasis(1, 2, 1.0).evaluate_at(0.5, (x for x in [1.0])),  # type: ignore[arg-type]
        lambda: quorvel.LegendreBasisEvaluator(1, 2, 1.0).set_dofs(["1", "2", "3", "4"]),  # type: ignore[list-item]
        lambda: quorvel.LegendreBasisEvaluator(1, 2, 1.0).evaluate_many([0.5]),  # type: ignore[arg-type]
        lambda: quorvel.LegendreBasisEvaluator(1, 2, 1.0).evaluate_at("0.5"),  # type: ignore[arg-type]
        lambda: quorvel.sum_as_string(1, 2, 3),  # type: ignore[call-arg]
        lambda: quorvel.sum_as_string(1, c=2),  # type: ignore[call-arg]
        lambda: quorvel.lagrange_to_legendre_csr(2.0, 3),  # type: ignore[arg-type]
    ],
)
def test_calls_the_stub_refuses_fail(call: Callable[[], object]) -> None:
    with pytest.raises(TypeError):
        call()
