"""Galerkin time stepping against SciPy's stiff integrators: a work-precision diagram
===================================================================================

The heat equation u_t = Laplace u on the unit square, with the 5-point
Laplacian A on an interior grid, M = I and u0 = sin(pi x) sin(pi y) on the grid:
an eigenvector of A, so the exact solution of the semi-discrete system is
exp(-mu t) u0 and every error below is the time error alone.

Contenders, each at several settings: quorvel's dG(q) and cG(q)
(``solve_dg``, ``solve_cg``), dG(2) written by hand (the block of one interval
from the time matrices, one ``splu``, a loop), and
``scipy.integrate.solve_ivp`` with ``method="BDF"`` and ``"Radau"``, given the
sparse Jacobian. The table lists, for each, the coarsest setting that reaches a
relative error of at most 1e-8 at T, and the diagram plots error against wall
time for every setting.

Run with ``make demo``, or ``python examples/work_precision.py [--grid N]
[--output PATH]`` (the benchmark uses ``--grid 128``: n = 16384).
"""

import argparse
import functools
import math
import pathlib
import sys
import time
from collections.abc import Callable
from typing import Literal

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
import scipy.sparse
import scipy.sparse.linalg
from scipy.integrate import solve_ivp

import quorvel

Vector = npt.NDArray[np.float64]
TARGET = 1e-8
T = 0.1


class Heat:
    """The semi-discrete heat equation on a grid x grid interior grid, and its exact solution at T."""

    def __init__(self, grid: int) -> None:
        dx = 1.0 / (grid + 1)
        step = scipy.sparse.eye_array(grid, k=1, format="csr")
        one_d = (2.0 * scipy.sparse.eye_array(grid, format="csr") - step - step.T) / dx**2
        self.A = scipy.sparse.csr_array(scipy.sparse.kronsum(one_d, one_d, format="csr"))
        x = np.arange(1, grid + 1) * dx
        self.u0: Vector = np.outer(np.sin(np.pi * x), np.sin(np.pi * x)).ravel()
        self.mu = 8.0 / dx**2 * math.sin(math.pi * dx / 2.0) ** 2
        self.exact: Vector = math.exp(-self.mu * T) * self.u0

    def error(self, u_T: Vector) -> float:
        return float(np.linalg.norm(u_T - self.exact) / np.linalg.norm(self.exact))


def galerkin(heat: Heat, scheme: str, q: int, n_t: int) -> Vector:
    solve = quorvel.solve_dg if scheme == "dG" else quorvel.solve_cg
    u: Vector = solve(None, heat.A, heat.u0, degree=q, n_t=n_t, T=T)(T, side="left")
    return u


def handwritten(heat: Heat, q: int, n_t: int) -> Vector:
    """dG(q) as one writes it by hand: one interval's block from the time matrices, one splu, a loop."""
    h = T / n_t
    n = heat.A.shape[0]
    block = scipy.sparse.csc_array(
        scipy.sparse.kron(quorvel.legendre_dg_time_matrix(q, 1, h), scipy.sparse.eye_array(n))
        + scipy.sparse.kron(quorvel.legendre_mass_matrix(q, 1, h), heat.A)
    )
    lu = scipy.sparse.linalg.splu(block)
    signs = (-1.0) ** np.arange(q + 1)
    u = heat.u0
    for _ in range(n_t):
        u = lu.solve(np.kron(signs, u)).reshape(q + 1, n).sum(axis=0)
    return u


def ivp(heat: Heat, method: Literal["BDF", "Radau"], rtol: float) -> Vector:
    A = heat.A
    solution = solve_ivp(lambda t, y: -(A @ y), (0.0, T), heat.u0, method=method, jac=-A, rtol=rtol, atol=rtol * 1e-3)
    if not solution.success:
        raise RuntimeError(solution.message)
    u: Vector = solution.y[:, -1]
    return u


def timed(run: Callable[[], Vector], heat: Heat, repeats: int) -> tuple[float, float]:
    """(median seconds, relative error at T)."""
    seconds = []
    for _ in range(repeats):
        start = time.perf_counter()
        u = run()
        seconds.append(time.perf_counter() - start)
    return float(np.median(seconds)), heat.error(u)


def contenders(heat: Heat) -> dict[str, list[tuple[str, Callable[[], Vector]]]]:
    """Every method with its settings, coarsest first."""
    settings: dict[str, list[tuple[str, Callable[[], Vector]]]] = {}
    for scheme, degrees in (("dG", (1, 2, 3, 4)), ("cG", (2, 3))):
        for q in degrees:
            meshes = [2**k for k in range(0, 9)] if q > 1 else [2**k for k in range(2, 10)]
            settings[f"quorvel {scheme}({q})"] = [
                (f"n_t = {n}", functools.partial(galerkin, heat, scheme, q, n)) for n in meshes
            ]
    settings["hand-written dG(2), one splu"] = [
        (f"n_t = {n}", functools.partial(handwritten, heat, 2, n)) for n in (2, 4, 8, 16, 32)
    ]
    methods: tuple[Literal["BDF", "Radau"], ...] = ("BDF", "Radau")
    for method in methods:
        settings[f"solve_ivp {method}"] = [
            (f"rtol = {rtol:.0e}", functools.partial(ivp, heat, method, rtol)) for rtol in (1e-4, 1e-6, 1e-8, 1e-10)
        ]
    return settings


def scan(heat: Heat, repeats: int) -> dict[str, list[tuple[str, float, float]]]:
    """(setting, seconds, error) of every setting; a method stops at its first setting below 1e-12."""
    results: dict[str, list[tuple[str, float, float]]] = {}
    for name, runs in contenders(heat).items():
        results[name] = []
        for label, run in runs:
            seconds, error = timed(run, heat, repeats)
            results[name].append((label, seconds, error))
            if error < 1e-12:
                break
    return results


def fastest_at_target(results: dict[str, list[tuple[str, float, float]]]) -> dict[str, tuple[str, float, float]]:
    """For each method, the fastest setting whose error is at most TARGET."""
    best = {}
    for name, rows in results.items():
        reaching = [row for row in rows if row[2] <= TARGET]
        if reaching:
            best[name] = min(reaching, key=lambda row: row[1])
    return best


def plot(results: dict[str, list[tuple[str, float, float]]], n: int, path: pathlib.Path) -> None:
    fig, axes = plt.subplots(figsize=(8, 5.5), constrained_layout=True)
    for name, rows in results.items():
        style = "o-" if name.startswith("quorvel") else ("s--" if "ivp" in name else "^:")
        axes.loglog([row[1] for row in rows], [row[2] for row in rows], style, label=name)
    axes.axhline(TARGET, color="gray", linewidth=0.8)
    axes.set_xlabel("wall time [s]")
    axes.set_ylabel("relative error at T")
    axes.set_title(f"u_t = Laplace u, 5-point Laplacian, n = {n}, T = {T}")
    axes.legend(fontsize="small")
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    # The figure stays open for whoever runs this: a notebook, or the gallery of the documentation.


def main() -> int:
    default_output = pathlib.Path(sys.argv[0]).resolve().parent.parent / "build" / "work_precision.png"
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--grid", type=int, default=48, help="interior points per direction (n = grid^2)")
    parser.add_argument("--repeats", type=int, default=1, help="timings per setting (their median is shown)")
    parser.add_argument("--output", type=pathlib.Path, default=default_output, help="where the PNG goes")
    args = parser.parse_args()

    heat = Heat(args.grid)
    n = heat.A.shape[0]
    results = scan(heat, args.repeats)
    best = fastest_at_target(results)
    print(
        f"u_t = Laplace u on the unit square, n = {n}, T = {T}: the fastest setting to a relative error <= {TARGET:g}"
    )
    print(f"  {'method':32s} {'setting':16s} {'time':>10s} {'error':>9s}")
    for name, (label, seconds, error) in best.items():
        print(f"  {name:32s} {label:16s} {seconds * 1e3:8.1f} ms {error:9.1e}")
    ours = min(best[name][1] for name in best if name.startswith("quorvel"))
    ivp_best = min(best[name][1] for name in best if "ivp" in name)
    print(f"quorvel's fastest: {ivp_best / ours:.1f}x faster than the faster of BDF and Radau")
    plot(results, n, args.output)
    print(f"plot written to {args.output}")
    return 0


if __name__ == "__main__":
    # Exits only on failure, so that a run inside another program (the gallery of the
    # documentation) goes on after a success.
    if main() != 0:
        raise SystemExit(1)
