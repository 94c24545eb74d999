"""Galerkin time stepping for M u'(t) + A u(t) = f(t), u(0) = u0, on a uniform mesh of [0, T].

The extension module carries this source and runs it on the first call of
solve_dg, solve_cg, legendre_dg_local_matrices or lagrange_cg_time_matrices,
which have converted degree, n_t and T already. The solvers march interval
by interval and return a quorvel.LegendreExpansion.

One interval
------------
With s stage unknowns X_0 ... X_{s-1} (spatial vectors; dG(q): the q + 1
Legendre coefficients, cG(q): the q coefficients beyond the continuity
constraint) one interval is the (s n) x (s n) system

    sum_j D[i, j] M X_j + h/2 sum_j Mass[i, j] A X_j = F_i + alpha[i] M u_- + h beta[i] A u_-,

with u_- the value entering the interval. D and Mass are the same on every
interval, so the work of the block is done once: the real Schur form
Mass^-1 D = Q R Q^T turns the block into ceil(s / 2) shifted spatial systems
(2 lambda / h) M + A, one per real eigenvalue and one, complex, per pair of
complex eigenvalues, factorised once; an interval is a back substitution over
R's diagonal blocks, one spatial solve per block. (One sparse LU of the whole
block fills in about ten times as much and costs some eight times the time;
the eigenvector basis instead of Schur's orthogonal one saves the back
substitution but its condition number grows like 4^q.)
"""

import dataclasses
import functools
import math
import warnings
from fractions import Fraction

import numpy as np
import scipy.linalg
import scipy.sparse
import scipy.sparse.linalg
from numpy.polynomial import legendre

EPS = float(np.finfo(np.float64).eps)
BACKWARD_ERROR_LIMIT = 1e-4  # loose on purpose: catches a wrong solve, accepts iterative ones
ILL_CONDITIONED = 1e-4 / EPS  # warn from here on; from 1 / EPS on the system counts as singular
CHUNK_VALUES = 1 << 22  # values of a callable f per call (32 MiB)


# ------------------------------------------------------------ the public bricks


def legendre_dg_local_matrices(degree):
    """(D, C, M): the reference blocks of upwind dG(degree) in the Legendre basis, on x in [-1, 1].

    D[i, j] = int P_j' P_i dx + P_j(-1) P_i(-1) = 1 for j >= i and (-1)^(i + j) for
    j < i; C[i, j] = -P_j(1) P_i(-1) = -(-1)^i, the coupling to the previous
    interval; M = diag(2 / (2i + 1)), the physical mass being h/2 M.
    """
    i = np.arange(degree + 1)[:, None]
    j = np.arange(degree + 1)[None, :]
    D = np.where(j >= i, 1.0, np.where((i + j) % 2 == 0, 1.0, -1.0))
    C = np.broadcast_to(np.where(i % 2 == 0, -1.0, 1.0), (degree + 1, degree + 1)).copy()
    M = np.diag(2.0 / (2.0 * np.arange(degree + 1) + 1.0))
    return D, C, M


# With s = (1 + x) / 2 in [0, 1] and y = q s, node k is y = k and
# L_j(y) = prod_{k != j} (y - k) / w_j with w_j = prod_{k != j} (j - k): integer
# coefficients over an integer. P_i(x) is the shifted Legendre polynomial of s,
# whose moments are int_0^1 s^a P_i(2s - 1) ds = a!^2 / ((a - i)! (a + i + 1)!)
# for a >= i, else 0; times (2q + 1)! they are integers, so the integrals of
# L_j P_i and L_j' P_i are sums of integers over one integer, rounded once.


def _node_polynomials(q):
    """(coefficients of prod_{k != j} (y - k) in 1, y, ..., y^q; w_j) for the nodes j = 0 ... q."""
    full = [1]
    for k in range(q + 1):
        full = [(full[a - 1] if a > 0 else 0) - k * (full[a] if a < len(full) else 0) for a in range(len(full) + 1)]
    result = []
    for j in range(q + 1):
        quotient = [0] * (q + 1)  # the full product divided by (y - j)
        quotient[q] = full[q + 1]
        for a in range(q, 0, -1):
            quotient[a - 1] = full[a] + j * quotient[a]
        result.append((quotient, math.prod(j - k for k in range(q + 1) if k != j)))
    return result


@functools.cache
def _cg_reference_fractions(q):
    """Exact D[i][j] = int L_j' P_i dx and M[i][j] = int L_j P_i dx over [-1, 1], i < q, j <= q."""
    f = [math.factorial(k) for k in range(2 * q + 2)]
    scale = f[2 * q + 1]
    moments = [
        [scale * f[a] ** 2 // (f[a - i] * f[a + i + 1]) if a >= i else 0 for a in range(q + 1)] for i in range(q)
    ]
    powers = [q**a for a in range(q + 1)]
    derivative, mass = [], []
    for i in range(q):
        G = moments[i]
        derivative_row, mass_row = [], []
        for coefficients, weight in _node_polynomials(q):
            scaled = [c * p for c, p in zip(coefficients, powers, strict=True)]
            mass_row.append(Fraction(2 * sum(c * g for c, g in zip(scaled, G, strict=True)), weight * scale))
            derivative_row.append(Fraction(sum(a * scaled[a] * G[a - 1] for a in range(1, q + 1)), weight * scale))
        derivative.append(tuple(derivative_row))
        mass.append(tuple(mass_row))
    return tuple(derivative), tuple(mass)


def lagrange_cg_time_matrices(degree, n_t, T):
    """(D, M) of cG(degree): (n_t degree) x (n_t degree + 1) csr_arrays, correctly rounded.

    Row c + n_t i tests with P_i (i < degree) of interval c; column k degree + j
    tries with the continuous Lagrange function of node j of interval k.
    D = int phi_j' psi_i dt (independent of h), M = int phi_j psi_i dt.
    """
    q = degree
    derivative, mass = _cg_reference_fractions(q)
    half_h = Fraction(T / n_t) / 2
    D_ref = np.array(derivative, dtype=float)
    M_ref = np.array([[float(half_h * m) for m in row] for row in mass])
    n_rows, n_cols = n_t * q, n_t * q + 1
    index = np.int32 if max(n_rows * (q + 1), n_cols) < 2**31 else np.int64
    rows = np.arange(n_rows)
    interval, test = rows % n_t, rows // n_t
    indices = (interval[:, None] * q + np.arange(q + 1)[None, :]).astype(index).ravel()
    indptr = (np.arange(n_rows + 1) * (q + 1)).astype(index)
    D = scipy.sparse.csr_array((D_ref[test].ravel(), indices, indptr), shape=(n_rows, n_cols))
    M = scipy.sparse.csr_array((M_ref[test].ravel(), indices.copy(), indptr.copy()), shape=(n_rows, n_cols))
    D.has_canonical_format = M.has_canonical_format = True
    return D, M


# ------------------------------------------------------------ one interval's problem


@dataclasses.dataclass(frozen=True)
class LocalProblem:
    """One interval: sum_j D[i, j] M X_j + h/2 sum_j Mass[i, j] A X_j = F_i + alpha[i] M u_- + h beta[i] A u_-.

    F_i = int_c f P_i dt for the Legendre test functions P_i of the interval. The
    interval's Legendre coefficients are out @ X + out0 u_-; their sum is its value
    at the right end (P_i(1) = 1).
    """

    D: np.ndarray
    Mass: np.ndarray
    alpha: np.ndarray
    beta: np.ndarray
    out: np.ndarray
    out0: np.ndarray

    @property
    def stages(self):
        return self.D.shape[0]


def dg_local_problem(q):
    """dG(q): the stages are the q + 1 Legendre coefficients; u_- enters by the upwind jump (-1)^i M u_-."""
    D, _, M = legendre_dg_local_matrices(q)
    signs = np.where(np.arange(q + 1) % 2 == 0, 1.0, -1.0)
    return LocalProblem(D, M, signs, np.zeros(q + 1), np.eye(q + 1), np.zeros(q + 1))


def cg_local_problem(q):
    """cG(q) with the continuous trial function u_- + sum_{j=1..q} a_j (P_j - (-1)^j).

    Each added function vanishes at the interval's left end, so continuity holds by
    construction, and the unknowns are the Legendre coefficients 1 ... q; that of P_0
    is u_- - sum_j (-1)^j a_j. Tested with P_0 ... P_{q-1}: D[i, j-1] = int P_j' P_i dx
    = 2 where j > i and i + j is odd, Mass[i, j-1] = 2/(2i+1) delta_ij - 2 (-1)^j delta_i0,
    and u_- gives h delta_i0 A u_-. This basis is as well conditioned as the Legendre one
    at every degree, where the equispaced Lagrange nodes are not.
    """
    i = np.arange(q)[:, None]
    j = np.arange(1, q + 1)[None, :]
    signs_j = np.where(j % 2 == 0, 1.0, -1.0)
    D = np.where((j > i) & ((i + j) % 2 == 1), 2.0, 0.0)
    Mass = np.where(i == j, 2.0 / (2.0 * i + 1.0), 0.0) - np.where(i == 0, 2.0 * signs_j, 0.0)
    beta = np.zeros(q)
    beta[0] = -1.0
    out0 = np.zeros(q + 1)
    out0[0] = 1.0
    return LocalProblem(D, Mass, np.zeros(q), beta, np.vstack([-signs_j, np.eye(q)]), out0)


@dataclasses.dataclass(frozen=True)
class StageBlock:
    """A diagonal block of R: one real eigenvalue, or a complex pair (R's 2 x 2 block
    E = X diag(mu, conj(mu)) X^-1, X = [x, conj(x)]: its two unknowns are 2 Re(x z), z
    solving the system shifted by mu with row 0 of X^-1 applied to the block's rows)."""

    start: int
    eigenvalue: complex
    x: np.ndarray | None = None
    x_inverse_row: np.ndarray | None = None

    @property
    def size(self):
        return 1 if self.x is None else 2


def stage_blocks(problem):
    """K = Mass^-1 D = Q R Q^T (real Schur form) and R's diagonal blocks, from the first."""
    K = np.linalg.solve(problem.Mass, problem.D)
    R, Q = scipy.linalg.schur(K, output="real")
    blocks, k, s = [], 0, K.shape[0]
    while k < s:
        if k + 1 < s and R[k + 1, k] != 0.0:
            values, X = np.linalg.eig(R[k : k + 2, k : k + 2])
            top = int(np.argmax(values.imag))
            x = X[:, top]
            blocks.append(StageBlock(k, complex(values[top]), x, np.linalg.inv(np.column_stack([x, x.conj()]))[0]))
            k += 2
        else:
            blocks.append(StageBlock(k, complex(R[k, k])))
            k += 1
    return Q, R, blocks


# ------------------------------------------------------------------ the marching


def solve_dg(M, A, u0, degree, n_t, T, f, factorize):
    return _solve(dg_local_problem(degree), degree, M, A, u0, n_t, T, f, factorize)


def solve_cg(M, A, u0, degree, n_t, T, f, factorize):
    return _solve(cg_local_problem(degree), degree, M, A, u0, n_t, T, f, factorize)


def _solve(problem, q, M, A, u0, n_t, T, f, factorize):
    import quorvel  # the module that runs this source; imported by then

    A = _matrix("A", A)
    n = A.shape[0]
    M = None if M is None else _matrix("M", M, n)
    u0 = _vector("u0", u0, n)
    if factorize is None:
        factorize = superlu_factorize
    elif not callable(factorize):
        raise TypeError(f"factorize must be callable, got {type(factorize).__name__}")
    h = T / n_t
    loads = _loads(quorvel, f, problem.stages, q + 1, n_t, T, n)
    interval_solve = _interval_solver(problem, M, A, h, factorize)
    has_alpha, has_beta, has_out0 = bool(problem.alpha.any()), bool(problem.beta.any()), bool(problem.out0.any())
    result = np.empty((q + 1, n_t, n))
    u_minus = u0
    with np.errstate(over="ignore", invalid="ignore"):  # an overflow is reported below, with its interval
        for c in range(n_t):
            rhs = np.zeros((problem.stages, n)) if loads is None else loads[:, c, :].copy()
            if has_alpha:
                rhs += np.outer(problem.alpha, u_minus if M is None else M @ u_minus)
            if has_beta:
                rhs += np.outer(h * problem.beta, A @ u_minus)
            coefficients = problem.out @ interval_solve(rhs)
            if has_out0:
                coefficients += np.outer(problem.out0, u_minus)
            result[:, c, :] = coefficients
            u_minus = coefficients.sum(axis=0)  # P_i(1) = 1
            if not np.isfinite(u_minus).all():
                raise OverflowError(
                    f"the solution overflows on interval {c} (t in [{h * c!r}, {h + h * c!r}]): it grows beyond float64"
                )
    return quorvel.LegendreExpansion(result, T)


def _interval_solver(problem, M, A, h, factorize):
    """ceil(s / 2) factorisations of shifted spatial systems; an interval is a back substitution."""
    Q, R, blocks = stage_blocks(problem)
    to_transformed = (2.0 / h) * Q.T @ np.linalg.inv(problem.Mass)
    coupling = (2.0 / h) * R
    identity = scipy.sparse.eye_array(A.shape[0], format="csr") if M is None else M
    solves = []
    for block in blocks:
        shift = (2.0 / h) * (block.eigenvalue.real if block.x is None else block.eigenvalue)
        name = f"A + {f'({shift:.6g})' if isinstance(shift, complex) else f'{shift:.6g}'} * {'I' if M is None else 'M'}"
        solves.append(_checked_factorization(factorize, scipy.sparse.csc_array(A + shift * identity), name))
    schedule = list(zip(blocks, solves, strict=True))[::-1]

    def solve_interval(rhs):
        H = to_transformed @ rhs
        Y = np.empty_like(H)
        for block, solve in schedule:
            k = block.start
            if block.x is None:
                Y[k] = solve(H[k])
            else:
                row = block.x_inverse_row
                z = solve(row[0] * H[k] + row[1] * H[k + 1])
                Y[k] = 2.0 * (block.x[0] * z).real
                Y[k + 1] = 2.0 * (block.x[1] * z).real
            if k > 0:
                span = slice(k, k + block.size)
                MY = Y[span] if M is None else (M @ Y[span].T).T
                H[:k] -= coupling[:k, span] @ MY
        return Q @ Y

    return solve_interval


# ------------------------------------------------- factorisations and their check


def superlu_factorize(K):
    """The default factorize: SciPy's SuperLU, ordered by minimum degree on A^T + A for a
    structurally symmetric K (about half the fill of COLAMD on a 2-D Laplacian), else COLAMD."""
    pattern = scipy.sparse.csr_array((np.ones(K.nnz), K.indices, K.indptr), shape=K.shape)  # K^T's pattern
    symmetric = (pattern != pattern.T).nnz == 0
    try:
        lu = scipy.sparse.linalg.splu(K, permc_spec="MMD_AT_PLUS_A" if symmetric else "COLAMD")
    except RuntimeError as exc:  # "Factor is exactly singular"
        raise np.linalg.LinAlgError(str(exc)) from exc
    return lu.solve


def _checked_factorization(factorize, K, name):
    """factorize(K), checked once with a fixed right-hand side: a singular system raises LinAlgError, a
    factorize or solve that fails or answers wrongly TypeError or ValueError."""
    kind = "complex" if np.iscomplexobj(K.data) else "real"
    what = f"the {K.shape[0]} x {K.shape[1]} {kind} matrix {name}"
    solve = _call(factorize, K, what, "factorize")
    if not callable(solve):
        raise TypeError(f"factorize must return a callable solve function, got {type(solve).__name__}")
    b = np.random.default_rng(20240607).standard_normal(K.shape[0]).astype(K.dtype)
    x = np.asarray(_call(solve, b.copy(), what, "the solve function returned by factorize"))
    if x.shape != b.shape:
        raise ValueError(
            f"the solve function returned by factorize must return shape {b.shape} for {what}, got {x.shape}"
        )
    if x.dtype.kind != ("c" if kind == "complex" else "f"):
        raise ValueError(
            f"the solve function returned by factorize must return {kind} floats for {what}, got {x.dtype}"
        )
    if not np.isfinite(x).all():
        raise np.linalg.LinAlgError(f"M and A give a singular system: solving with {what} gave non-finite values")
    norm_K = float(abs(K).sum(axis=0).max())
    norm_x, norm_b = float(np.abs(x).sum()), float(np.abs(b).sum())
    condition = norm_K * norm_x / norm_b  # a lower bound of K's 1-norm condition number
    if condition >= 1.0 / EPS:
        raise np.linalg.LinAlgError(
            f"M and A give a singular system: {what} is singular to working precision "
            f"(condition number at least {condition:.1e})"
        )
    backward_error = float(np.abs(b - K @ x).sum()) / (norm_K * norm_x + norm_b)
    if backward_error > BACKWARD_ERROR_LIMIT:
        raise ValueError(
            f"factorize returned a solve function that does not solve {what}: backward error {backward_error:.1e}"
        )
    if condition >= ILL_CONDITIONED:
        warnings.warn(
            f"{what} is ill-conditioned (condition number at least {condition:.1e}): the result may be inaccurate",
            scipy.linalg.LinAlgWarning,
            stacklevel=4,
        )
    return solve


def _call(function, argument, what, role):
    """function(argument), with a singular system as LinAlgError and any other failure as ValueError."""
    try:
        return function(argument)
    except np.linalg.LinAlgError as exc:
        raise np.linalg.LinAlgError(f"M and A give a singular system: {what} is singular ({exc})") from exc
    except MemoryError:
        raise
    except Exception as exc:
        if isinstance(exc, RuntimeError) and "singular" in str(exc).lower():  # SuperLU's own words
            raise np.linalg.LinAlgError(f"M and A give a singular system: {what} is singular ({exc})") from exc
        raise ValueError(f"{role} failed on {what}: {type(exc).__name__}: {exc}") from exc


# --------------------------------------------------------------------- loads


def _loads(quorvel, f, s, n_points, n_t, T, n):
    """F[i, c, :] = int_c f P_i dt for the test functions P_0 ... P_{s-1} of every interval, or None."""
    if f is None:
        return None
    if isinstance(f, quorvel.LegendreExpansion):
        if f.trailing_shape != (n,):
            raise ValueError(f"f must have trailing shape (n,) = ({n},), got {f.trailing_shape}")
        if f.T != T:
            raise ValueError(f"f must be defined on [0, T] with T = {T!r}, got T = {f.T!r}")
        return _loads_of_coefficients(f.coefficients, s, n_t, T)
    if callable(f):
        return _loads_of_callable(quorvel, f, s, n_points, n_t, T, n)
    raise TypeError(f"f must be None, a LegendreExpansion or a callable, got {type(f).__name__}")


def _loads_of_callable(quorvel, f, s, n_points, n_t, T, n):
    """The Gauss rule of n_points points of quorvel.quadrature on every interval: exact for f of degree
    2 n_points - s against the test functions of degree s - 1."""
    points, weights = quorvel.quadrature(n_points, n_t, T)
    nodes = legendre.leggauss(n_points)[0]
    tests = legendre.legvander(nodes, s - 1) * (weights[:n_points])[:, None]  # (n_points, s)
    loads = np.empty((s, n_t, n))
    per_call = max(1, CHUNK_VALUES // (n_points * n))
    for first in range(0, n_t, per_call):
        last = min(n_t, first + per_call)
        times = points[first * n_points : last * n_points]
        values = np.asarray(f(times))
        expected = (times.size, n)
        if values.shape != expected:
            raise ValueError(f"f must return shape (len(t), n) = {expected}, got {values.shape}")
        if values.dtype.kind not in "biuf":
            raise TypeError(f"f must return real numbers, got {values.dtype}")
        if not np.isfinite(values).all():
            bad = float(times[np.flatnonzero(~np.isfinite(values).all(axis=1))[0]])
            raise ValueError(f"f returned non-finite values at t = {bad!r}")
        loads[:, first:last, :] = np.einsum("pi,cpn->icn", tests, values.reshape(last - first, n_points, n))
    return loads


def _loads_of_coefficients(coefficients, s, n_t, T):
    """Exact integrals of a piecewise Legendre f (on its own uniform mesh of [0, T]) against the test functions."""
    p1, n_f, n = coefficients.shape
    h = T / n_t
    loads = np.zeros((s, n_t, n))
    if n_f == n_t:  # orthogonality: int_c P_k P_i dt = h / (2i + 1) delta_ki
        common = min(s, p1)
        loads[:common] = coefficients[:common] * (h / (2.0 * np.arange(common) + 1.0))[:, None, None]
        return loads
    # The common refinement of both meshes, in integer units of T / lcm(n_t, n_f).
    units = math.lcm(n_t, n_f)
    ours, theirs = units // n_t, units // n_f
    breaks = np.union1d(np.arange(n_t + 1, dtype=np.int64) * ours, np.arange(n_f + 1, dtype=np.int64) * theirs)
    left, width = breaks[:-1], np.diff(breaks)
    interval, piece_of_f = left // ours, left // theirs
    nodes, weights = legendre.leggauss((p1 + s) // 2 + 1)  # exact for degree p + s - 1
    offset = left[:, None] + (1.0 + nodes)[None, :] / 2.0 * width[:, None]
    x = 2.0 * (offset - interval[:, None] * ours) / ours - 1.0
    y = 2.0 * (offset - piece_of_f[:, None] * theirs) / theirs - 1.0
    physical_weights = weights[None, :] * (width * (T / units) / 2.0)[:, None]
    pairing = np.einsum(
        "pmi,pm,pmk->pik", legendre.legvander(x, s - 1), physical_weights, legendre.legvander(y, p1 - 1)
    )
    per_chunk = max(1, CHUNK_VALUES // (p1 * n))
    for first in range(0, len(left), per_chunk):
        chunk = slice(first, first + per_chunk)
        contributions = np.einsum("pik,kpn->ipn", pairing[chunk], coefficients[:, piece_of_f[chunk], :])
        np.add.at(loads, (slice(None), interval[chunk]), contributions)
    return loads


# ------------------------------------------------------------------ validation


def _real_dtype(name, dtype, what):
    if dtype.kind == "c":
        raise TypeError(f"{name} must be real, got {dtype}")
    if dtype.kind not in "biuf":
        raise TypeError(f"{name} must be {what} of numbers, got dtype {dtype}")


def _matrix(name, value, n=None):
    """A real square matrix (of A's shape when n is given) as a float64 csr_array with finite entries."""
    if not scipy.sparse.issparse(value):
        try:
            value = np.asarray(value)
        except Exception as exc:  # ragged nested sequences and the like
            raise TypeError(f"{name} must be a 2-D matrix (scipy.sparse or dense), got {type(value).__name__}") from exc
    _real_dtype(name, value.dtype, "a matrix")
    shape = value.shape
    if len(shape) != 2:
        raise ValueError(f"{name} must be a 2-D matrix, got shape {shape}")
    if shape[0] != shape[1]:
        raise ValueError(f"{name} must be square, got shape {shape}")
    if n is not None and shape != (n, n):
        raise ValueError(f"{name} must have the shape of A, ({n}, {n}), got {shape}")
    if shape[0] == 0:
        raise ValueError(f"{name} must be at least 1 x 1, got shape {shape}")
    matrix = scipy.sparse.csr_array(value, dtype=np.float64)
    if not np.isfinite(matrix.data).all():
        raise ValueError(f"{name} has non-finite entries")
    return matrix


def _vector(name, value, n):
    array = np.asarray(value)
    _real_dtype(name, array.dtype, "an array")
    if array.shape != (n,):
        raise ValueError(f"{name} must have shape (n,) = ({n},), got {array.shape}")
    array = array.astype(np.float64)
    if not np.isfinite(array).all():
        raise ValueError(
            f"{name} has non-finite entries (first at index {int(np.flatnonzero(~np.isfinite(array))[0])})"
        )
    return array
