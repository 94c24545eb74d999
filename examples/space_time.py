"""Discontinuous Galerkin in time with quorvel's time matrices
===========================================================

dG(q) time stepping solves, on every interval of a uniform mesh of [0, T], for
a polynomial of degree q, coupled to the previous interval by an upwind jump.
With the Legendre basis the whole time direction is two sparse matrices:
B = legendre_dg_time_matrix (time derivative plus jumps) and
M = legendre_mass_matrix, and the initial value u0 enters the right-hand side
as u0 (-1)^i in the rows of interval 0 (P_i(-1) = (-1)^i). At the mesh points
dG(q) converges like h^(2q + 1).

1. The scalar test equation u' = lambda u: (B - lambda M) U = F.
2. The heat equation u_t = u_xx on (0, 1) with u = 0 at both ends, a
   finite-difference Laplacian A in space: the space-time system
   (B kron I + M kron A) U = F is solved at once, every time step together.
   Its exact semi-discrete solution is known (sin(pi x) is an eigenvector of
   A), so the table shows the time error alone.

Both print the error at the mesh points and its order, and a plot of the
heat equation's space-time solution is written as a PNG.

Run with ``make demo``, or ``python examples/space_time.py [--output PATH]``.
"""

import argparse
import math
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
import scipy.sparse
import scipy.sparse.linalg

import quorvel

Vector = npt.NDArray[np.float64]
DEGREES = (0, 1, 2, 3)
MESHES = (4, 8, 16, 32)


def initial_rows(q: int, n_t: int) -> Vector:
    """The right-hand side of a unit initial value: (-1)^i in row (0, i) = n_t * i."""
    rhs = np.zeros(n_t * (q + 1))
    rhs[np.arange(q + 1) * n_t] = (-1.0) ** np.arange(q + 1)
    return rhs


def at_mesh_points(U: Vector, q: int, n_t: int) -> Vector:
    """Values at the right ends t_1 ... t_n_t: P_i(1) = 1, so the sum over i of each interval's DOFs."""
    result: Vector = U.reshape(q + 1, n_t, -1).sum(axis=0)
    return result


def solve_test_equation(q: int, n_t: int, lam: float, T: float) -> float:
    B = quorvel.legendre_dg_time_matrix(q, n_t, T)
    M = quorvel.legendre_mass_matrix(q, n_t, T)
    U = scipy.sparse.linalg.spsolve((B - lam * M).tocsc(), initial_rows(q, n_t))
    exact = np.exp(lam * np.linspace(T / n_t, T, n_t))
    return float(np.max(np.abs(at_mesh_points(U, q, n_t)[:, 0] - exact)))


def laplacian(n_x: int) -> scipy.sparse.csr_array:
    """-u'' by second differences on n_x interior points of (0, 1)."""
    dx = 1.0 / (n_x + 1)
    shift = scipy.sparse.eye_array(n_x, k=1, format="csr")
    return scipy.sparse.csr_array((2.0 * scipy.sparse.eye_array(n_x, format="csr") - shift - shift.T) / dx**2)


def solve_heat_equation(q: int, n_t: int, n_x: int, T: float) -> tuple[Vector, Vector]:
    """The space-time solution at the mesh points (n_t x n_x) and its exact semi-discrete values."""
    x = np.linspace(0.0, 1.0, n_x + 2)[1:-1]
    u0 = np.sin(np.pi * x)
    A = laplacian(n_x)
    B = quorvel.legendre_dg_time_matrix(q, n_t, T)
    M = quorvel.legendre_mass_matrix(q, n_t, T)
    identity = scipy.sparse.identity(n_x, format="csr")
    system = scipy.sparse.kron(B, identity) + scipy.sparse.kron(M, A)  # time DOF outer, space inner
    U = scipy.sparse.linalg.spsolve(system.tocsc(), np.kron(initial_rows(q, n_t), u0))
    computed = at_mesh_points(U, q, n_t)
    eigenvalue = 4.0 * (n_x + 1) ** 2 * math.sin(math.pi / (2 * (n_x + 1))) ** 2
    exact = np.exp(-eigenvalue * np.linspace(T / n_t, T, n_t))[:, None] * u0[None, :]
    return computed, exact


def table(title: str, errors: dict[int, list[float]]) -> bool:
    """Prints errors and observed orders; True when the finest order is within 0.3 of 2q + 1."""
    print(f"\n{title}; order = log2(error(n_t / 2) / error(n_t)), expected 2q + 1")
    print("  n_t" + "".join(f" | dG({q}): error  order" for q in DEGREES))
    for k, n_t in enumerate(MESHES):
        cells = []
        for q in DEGREES:
            order = f"{math.log2(errors[q][k - 1] / errors[q][k]):5.2f}" if k > 0 else ""
            cells.append(f" | {errors[q][k]:12.2e}  {order:>5}")
        print((f"{n_t:5d}" + "".join(cells)).rstrip())
    # Orders are read off where the error is still above rounding.
    return all(
        abs(math.log2(errs[-2] / errs[-1]) - (2 * q + 1)) < 0.3 for q, errs in errors.items() if errs[-1] > 1e-13
    )


def plot(path: pathlib.Path, q: int, n_t: int, n_x: int, T: float) -> None:
    computed, exact = solve_heat_equation(q, n_t, n_x, T)
    x = np.linspace(0.0, 1.0, n_x + 2)[1:-1]
    t = np.linspace(T / n_t, T, n_t)
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5), constrained_layout=True)
    image = left.pcolormesh(x, t, computed, shading="nearest", cmap="viridis")
    fig.colorbar(image, ax=left, label="u")
    left.set_xlabel("x")
    left.set_ylabel("t")
    left.set_title(f"u_t = u_xx, dG({q}) in time, n_t = {n_t}: u at the mesh points")
    for k in range(0, n_t, max(1, n_t // 6)):
        right.plot(x, computed[k], label=f"t = {t[k]:.3f}")
        right.plot(x, exact[k], "k:", linewidth=0.8)
    right.set_xlabel("x")
    right.set_title("computed (lines) and exact (dotted)")
    right.legend(loc="upper right", fontsize="small")
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    # The figure stays open for whoever runs this: a notebook, or the gallery of the documentation,
    # shows it as well.


def main() -> int:
    # The script's own path; runners that define no __file__ (the gallery of the documentation) set it too.
    default_output = pathlib.Path(sys.argv[0]).resolve().parent.parent / "build" / "space_time.png"
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--output", type=pathlib.Path, default=default_output, help="where the PNG goes")
    args = parser.parse_args()

    lam, T = -1.0, 1.0
    test_errors = {q: [solve_test_equation(q, n_t, lam, T) for n_t in MESHES] for q in DEGREES}
    test_ok = table(f"u' = {lam} u on [0, {T}], u(0) = 1: max error at the mesh points", test_errors)

    n_x, T_heat = 31, 0.25
    heat_errors = {
        q: [float(np.max(np.abs(np.subtract(*solve_heat_equation(q, n_t, n_x, T_heat))))) for n_t in MESHES]
        for q in DEGREES
    }
    heat_ok = table(
        f"u_t = u_xx, u(0) = sin(pi x), {n_x} points in space, [0, {T_heat}] in time: max time error at the mesh points",
        heat_errors,
    )
    matches = test_ok and heat_ok
    print("observed orders match h^(2q + 1)" if matches else "observed orders do NOT match h^(2q + 1)")

    plot(args.output, 1, 16, n_x, T_heat)
    print(f"plot written to {args.output}")
    return 0 if matches else 1


if __name__ == "__main__":
    # Exits only on failure, so that a run inside another program (the gallery of the
    # documentation) goes on after a success.
    if main() != 0:
        raise SystemExit(1)
