"""Piecewise Legendre and Lagrange bases in time for space-time finite elements.

A uniform mesh cuts [0, T] into n_t intervals of length h = T / n_t, with
polynomials of degree `degree` on every interval.

Legendre DOFs (discontinuous): n_t * (degree + 1) coefficients; the
coefficient of Legendre polynomial i on interval c stands at flat index
c + n_t * i (interval index fastest).

Lagrange DOFs (continuous): the values at the n_t * degree + 1 equidistant
nodes of get_lagrange_points; DOF k * degree + i is node i of interval k,
neighbouring intervals share their common end node.

Sparse matrices come as scipy.sparse.csr_array, handed over without copies:
lagrange_prolongation_csr and lagrange_to_legendre_csr, and the time matrices
legendre_mass_matrix, legendre_dg_time_matrix, lagrange_mass_matrix and
lagrange_derivative_matrix. The first two also come as triplets (rows, cols,
values), ordered by row and then by column, from lagrange_prolongation_matrix
and lagrange_to_legendre_basis_transformation, for example for
scipy.sparse.csr_array((values, (rows, cols)), shape=...); the shape is not
part of the triplets, and each function's docstring gives it. quadrature
returns its points and weights as NumPy arrays.

Errors: TypeError, ValueError, OverflowError, BufferError and RuntimeError
report wrong arguments and borrow conflicts; ValueError is an argument out of
range for the csr functions, the time matrices, quadrature, evaluate and
tabulate (the callables of 0.1.0 raise OverflowError for a count out of range).
A failed internal check (for example a DOF list that is too short) raises
PanicException, whose type is named
pyo3_runtime.PanicException and is not an attribute of this module. It
derives from BaseException, not Exception, so `except Exception` does not
catch it. Pickled, it is rebuilt through the private quorvel._panic_from_pickle,
so that another process unpickles it as PanicException with the same message.

Both classes have a repr that reads as their constructor call, read-only
attributes degree, n_t, T and n_dofs, and pickle and copy (an evaluator with
its DOFs, bit for bit).
"""

from collections.abc import Buffer, Callable, Sequence
from typing import Any, Literal, Protocol, final, overload, type_check_only

import numpy as np
import numpy.typing as npt
from scipy.sparse import csc_array, csr_array, sparray, spmatrix

__version__: str

__all__ = [
    "sum_as_string",
    "lagrange_to_legendre_basis_transformation",
    "lagrange_prolongation_matrix",
    "get_lagrange_points",
    "LegendreBasis",
    "LegendreBasisEvaluator",
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

@type_check_only
class _FloatArray(Protocol):
    """A one-dimensional array that is a sequence of numbers at run time, such as a NumPy array."""

    def __array__(self) -> Any: ...
    def __len__(self) -> int: ...

_FloatSequence = Sequence[float] | _FloatArray

def sum_as_string(a: int, b: int) -> str:
    """Formats the sum of two numbers as string.

    a and b are unsigned 32-bit integers; the sum is exact, sum_as_string(4294967295, 1)
    is "4294967296".
    """

def lagrange_to_legendre_basis_transformation(degree: int, n_t: int) -> tuple[list[int], list[int], list[float]]:
    """The matrix that turns Lagrange DOFs into Legendre DOFs, as triplets.

    Shape: ((degree + 1) * n_t, n_t * degree + 1). degree must be at least 1
    (PanicException otherwise).
    """

def lagrange_prolongation_matrix(nt_coarse: int, nt_fine: int, degree: int) -> tuple[list[int], list[int], list[float]]:
    """The matrix that carries Lagrange DOFs from nt_coarse to nt_fine intervals, as triplets.

    Shape: (nt_fine * degree + 1, nt_coarse * degree + 1). degree, nt_coarse
    and nt_fine must be at least 1 (PanicException otherwise).
    """

def get_lagrange_points(degree: int, n_t: int, T: float) -> list[float]:
    """The n_t * degree + 1 Lagrange nodes on [0, T], in DOF order."""

@final
class LegendreBasis:
    """The piecewise Legendre basis of degree `degree` on n_t intervals of [0, T].

    Each call takes its DOFs anew; LegendreBasisEvaluator stores them once.
    """

    def __new__(cls, degree: int, n_t: int, T: float) -> LegendreBasis: ...
    def evaluate_at(self, t: float, legendre_vals: _FloatSequence) -> float:
        """The expansion with the flat DOF list legendre_vals at time t.

        legendre_vals needs at least n_t * (degree + 1) values (PanicException
        otherwise); further values are ignored.
        """

    def evaluate_all_basis_functions(self, t: float) -> list[float]:
        """The values of all n_t * (degree + 1) basis functions at t, in DOF order."""

    def evaluate_all_basis_function_derivatives(self, t: float) -> list[float]:
        """The time derivatives of all basis functions at t, in DOF order."""

    def tabulate(
        self,
        t_values: npt.ArrayLike,
        *,
        derivative: int = 0,
        side: Literal["right", "left"] = "right",
        intervals: npt.ArrayLike | None = None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """The interval of every time and the `derivative`-th time derivatives of its basis functions there.

        Returns (intervals, values): an int64 array of t_values' shape and a float64
        array of shape t_values.shape + (degree + 1,). A time in [a_c, a_(c+1)) lies
        in interval c, a_c = h * c being the mesh points of get_lagrange_points and
        quadrature; side="left" takes (a_c, a_(c+1)] instead; `intervals` names each
        time's interval. Where evaluate_at's quotient rule places a time in the same
        interval, order 0 equals evaluate_all_basis_functions(t)[c + n_t * i] bit for
        bit, order 1 evaluate_all_basis_function_derivatives(t)[c + n_t * i]; orders
        of 2 or more above the degree give 0.0.
        """

    def __reduce__(self) -> tuple[type[LegendreBasis], tuple[int, int, float]]: ...
    @property
    def degree(self) -> int:
        """The polynomial degree on each interval."""

    @property
    def n_t(self) -> int:
        """The number of intervals of the uniform mesh of [0, T]."""

    @property
    def T(self) -> float:
        """The end of the time interval [0, T], as given to the constructor."""

    @property
    def n_dofs(self) -> int:
        """The number of Legendre DOFs, n_t * (degree + 1)."""

@final
class LegendreBasisEvaluator:
    """Class to evaluate legendre basis more often without copying the dofs from python each time.

    The stored DOFs start at 0.0 and are replaced by set_dofs. The batch methods
    accept any buffer of native float64 items (a NumPy array of any shape and
    strides, array.array("d"), memoryview), read in row-major order, and compute
    with the interpreter lock released; batches of 2048 or more times run on a
    worker pool shared by the process.
    """

    def __new__(cls, degree: int, n_t: int, T: float) -> LegendreBasisEvaluator: ...
    def set_dofs(self, legendre_vals: _FloatSequence) -> None:
        """Stores exactly n_t * (degree + 1) Legendre DOFs (PanicException otherwise)."""

    def evaluate_at(self, t: float) -> float:
        """The stored expansion at time t."""

    def evaluate_derivative_at(self, t: float) -> float:
        """The time derivative of the stored expansion at time t."""

    def evaluate_many(self, t_values: Buffer) -> list[float]:
        """The stored expansion at every time of a float64 buffer."""

    def evaluate_derivative_many(self, t_values: Buffer) -> list[float]:
        """The time derivative of the stored expansion at every time of a float64 buffer."""

    def evaluate(
        self,
        t_values: npt.ArrayLike,
        *,
        derivative: int = 0,
        out: npt.NDArray[np.float64] | None = None,
    ) -> npt.NDArray[np.float64]:
        """The stored expansion, or its time derivative of order `derivative`, at every time of `t_values`.

        Returns a float64 array of t_values' shape (0-d for a scalar); float64
        input is read in place whatever its strides. Orders 0 and 1 equal
        evaluate_at and evaluate_derivative_at bit for bit; orders of 2 or more
        above the degree give 0.0. With `out` (a writable float64 ndarray of the
        same shape) the results are written there and `out` is returned.
        """

    def __reduce__(self) -> tuple[type[LegendreBasisEvaluator], tuple[int, int, float], bytes]: ...
    def __setstate__(self, state: bytes) -> None:
        """Stores the DOFs of a state made by __reduce__: n_dofs little-endian float64 values as bytes."""

    @property
    def degree(self) -> int:
        """The polynomial degree on each interval."""

    @property
    def n_t(self) -> int:
        """The number of intervals of the uniform mesh of [0, T]."""

    @property
    def T(self) -> float:
        """The end of the time interval [0, T], as given to the constructor."""

    @property
    def n_dofs(self) -> int:
        """The number of Legendre DOFs, n_t * (degree + 1)."""

    @property
    def dofs(self) -> npt.NDArray[np.float64]:
        """A new float64 array holding a copy of the stored DOFs, in the layout of set_dofs."""

def lagrange_prolongation_csr(nt_coarse: int, nt_fine: int, degree: int) -> csr_array[np.float64, tuple[int, int]]:
    """The matrix of lagrange_prolongation_matrix as a scipy.sparse.csr_array, without copies.

    Shape: (nt_fine * degree + 1, nt_coarse * degree + 1); the same stored entries,
    bit for bit. data, indices and indptr view arrays that quorvel allocated once
    (int32 indices when the sizes fit, else int64). degree, nt_coarse and nt_fine
    must be at least 1, degree at most 100, with at most 4294967295 DOFs per mesh
    (ValueError otherwise).
    """

def lagrange_to_legendre_csr(degree: int, n_t: int) -> csr_array[np.float64, tuple[int, int]]:
    """The matrix of lagrange_to_legendre_basis_transformation as a scipy.sparse.csr_array, without copies.

    Shape: ((degree + 1) * n_t, n_t * degree + 1); the same stored entries, bit
    for bit. data, indices and indptr view arrays that quorvel allocated once
    (int32 indices when the sizes fit, else int64). degree must be at least 1
    (ValueError otherwise).
    """

def legendre_mass_matrix(degree: int, n_t: int, T: float) -> csr_array[np.float64, tuple[int, int]]:
    """The mass matrix of the Legendre basis, in the Legendre DOF layout (c + n_t * i).

    M[(c, i), (c, i)] = h / (2i + 1) with h = T / n_t; nothing else is stored.
    degree >= 0, n_t >= 1, T positive and finite (ValueError otherwise).
    """

def legendre_dg_time_matrix(degree: int, n_t: int, T: float) -> csr_array[np.float64, tuple[int, int]]:
    """The upwind discontinuous-Galerkin time-derivative matrix of the Legendre basis.

    B[(c, i), (c, j)] = integral over interval c of phi_j' phi_i plus
    phi_j(t_c+) phi_i(t_c+); B[(c, i), (c - 1, j)] = -phi_j(t_c-) phi_i(t_c+). Its
    entries are 1 and -1, independent of h. The initial value u0 enters the
    right-hand side as u0 (-1)^i in the rows (0, i).
    """

def lagrange_mass_matrix(degree: int, n_t: int, T: float) -> csr_array[np.float64, tuple[int, int]]:
    """The mass matrix of the continuous Lagrange basis, in the Lagrange DOF order.

    Entry (i, j) is the integral over [0, T] of phi_j phi_i, assembled over the
    shared nodes. 1 <= degree <= 100.
    """

def lagrange_derivative_matrix(degree: int, n_t: int, T: float) -> csr_array[np.float64, tuple[int, int]]:
    """The derivative matrix of the continuous Lagrange basis: entry (i, j) is the integral of phi_j' phi_i.

    Assembled over the shared nodes; independent of T. 1 <= degree <= 100.
    """

@overload
def quadrature(
    n_points: int,
    n_t: int,
    T: float,
    *,
    rule: Literal["gauss", "radau", "lobatto"] = "gauss",
    return_intervals: Literal[False] = False,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The points and weights of an n_points-point rule on each of the n_t intervals of [0, T].

    Two float64 arrays of length n_t * n_points, listed interval by interval;
    a point shared by two intervals appears once in each. rule: 'gauss'
    (exact for degree 2 n_points - 1), 'radau' (right Radau: each interval's
    right end is a point; degree 2 n_points - 2) or 'lobatto' (both ends,
    n_points >= 2; degree 2 n_points - 3). Interval c is [a, b] with
    h = T / n_t, a = h * c and b = h + a, ends hit exactly; every weight is a
    reference weight on [-1, 1] times h / 2. n_points: 1 ... 1024; n_t: 1 ...
    4294967295; T positive and finite (ValueError or TypeError naming the
    argument otherwise).
    """

@overload
def quadrature(
    n_points: int,
    n_t: int,
    T: float,
    *,
    rule: Literal["gauss", "radau", "lobatto"] = "gauss",
    return_intervals: Literal[True],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """The points, the weights and the int64 interval of every point, by construction.

    Pass the intervals to LegendreBasis.tabulate and LegendreExpansion, so that a
    point on an interval's end (radau, lobatto) counts for its own interval.
    """

@final
class LegendreExpansion:
    """A piecewise Legendre function on the uniform mesh of [0, T], with any number of components.

    coefficients: shape (degree + 1, n_t, *trailing); entry [i, c, ...] is the
    coefficient of P_i on interval c (the flat DOF layout c + n_t * i,
    reshaped). Immutable; the object keeps its own copy. Call it to evaluate.
    """

    def __new__(cls, coefficients: npt.ArrayLike, T: float) -> LegendreExpansion: ...
    def __call__(
        self,
        t: npt.ArrayLike,
        *,
        derivative: int = 0,
        side: Literal["right", "left"] = "right",
        intervals: npt.ArrayLike | None = None,
        out: npt.NDArray[np.float64] | None = None,
    ) -> npt.NDArray[np.float64]:
        """The values (or the time derivative of order `derivative`) at every time, shape numpy.shape(t) + trailing_shape.

        A time in [a_c, a_(c+1)) lies in interval c (a_c = h * c, the mesh points of
        get_lagrange_points and quadrature); side="left" takes (a_c, a_(c+1)]: the
        limit from the left at a mesh point. intervals: an integer array of t's shape
        naming each time's interval. out: a writable float64 array of the result's
        shape, filled and returned.
        """

    def derivative(self, m: int = 1) -> LegendreExpansion:
        """The expansion of the m-th time derivative, of degree max(degree - m, 0)."""

    def integrate(self, a: float = 0.0, b: float | None = None) -> npt.NDArray[np.float64]:
        """The integral over [a, b] (b defaults to T) of every component, of shape trailing_shape."""

    @classmethod
    def project(
        cls,
        f: Callable[[npt.NDArray[np.float64]], npt.ArrayLike],
        degree: int,
        n_t: int,
        T: float,
        *,
        n_points: int | None = None,
    ) -> LegendreExpansion:
        """The L2 projection of f onto the expansions of degree `degree` on n_t intervals of [0, T].

        f takes a 1-D float64 array of times and returns shape (len(t), *trailing);
        the Gauss rule of n_points points (default degree + 1) integrates.
        """

    @classmethod
    def from_lagrange(cls, values: npt.ArrayLike, degree: int, n_t: int, T: float) -> LegendreExpansion:
        """The expansion of the continuous Lagrange function with node values `values` of shape (n_t * degree + 1, *trailing)."""

    def __reduce__(self) -> tuple[type[LegendreExpansion], tuple[npt.NDArray[np.float64], float]]: ...
    @property
    def degree(self) -> int:
        """The polynomial degree on each interval."""

    @property
    def n_t(self) -> int:
        """The number of intervals of the uniform mesh of [0, T]."""

    @property
    def T(self) -> float:
        """The end of the time interval [0, T]."""

    @property
    def trailing_shape(self) -> tuple[int, ...]:
        """The shape of the values at one time."""

    @property
    def coefficients(self) -> npt.NDArray[np.float64]:
        """The coefficients, a read-only array sharing the object's memory."""

def solve_dg(
    M: npt.ArrayLike | sparray | spmatrix | None,
    A: npt.ArrayLike | sparray | spmatrix,
    u0: npt.ArrayLike,
    *,
    degree: int,
    n_t: int,
    T: float,
    f: LegendreExpansion | Callable[[npt.NDArray[np.float64]], npt.ArrayLike] | None = None,
    factorize: Callable[[csc_array], Callable[[npt.NDArray[Any]], npt.NDArray[Any]]] | None = None,
) -> LegendreExpansion:
    """The upwind discontinuous Galerkin solution dG(degree) of M u' + A u = f, u(0) = u0, on [0, T].

    Its left limits at the mesh points are the nodal values, of order 2 degree + 1;
    result(T, side="left") is the final value. factorize takes a square CSC matrix
    (complex for a pair of complex eigenvalues of the time block) and returns a
    solve function, as scipy.sparse.linalg.factorized (default: SciPy's SuperLU).
    """

def solve_cg(
    M: npt.ArrayLike | sparray | spmatrix | None,
    A: npt.ArrayLike | sparray | spmatrix,
    u0: npt.ArrayLike,
    *,
    degree: int,
    n_t: int,
    T: float,
    f: LegendreExpansion | Callable[[npt.NDArray[np.float64]], npt.ArrayLike] | None = None,
    factorize: Callable[[csc_array], Callable[[npt.NDArray[Any]], npt.NDArray[Any]]] | None = None,
) -> LegendreExpansion:
    """The continuous Petrov-Galerkin solution cG(degree), degree >= 1: continuous, of order 2 degree at the mesh points."""

def legendre_dg_local_matrices(
    degree: int,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(D, C, M): the reference blocks of the upwind dG matrix (diagonal, coupling) and the reference mass."""

def lagrange_cg_time_matrices(
    degree: int, n_t: int, T: float
) -> tuple[csr_array[np.float64, tuple[int, int]], csr_array[np.float64, tuple[int, int]]]:
    """(D, M) of cG(degree): (n_t * degree) x (n_t * degree + 1), Legendre test functions by continuous Lagrange DOFs."""
