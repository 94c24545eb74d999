"""From samples to a million values: the road through quorvel in time
==================================================================

f(t) = exp(-t) sin(6 pi t) on [0, 1] is sampled at the Lagrange points of a
uniform mesh (continuous piecewise polynomials of a given degree), the samples
are turned into Legendre DOFs with the sparse transformation matrix (a
scipy.sparse.csr_array), and the Legendre expansion is evaluated at a million
times without the interpreter lock, into a NumPy array. Prolongation carries the same function to a finer mesh exactly. The
convergence table shows the interpolation error falling like h^(degree + 1),
and a plot of the function, a coarse approximation and the errors is written
as a PNG.

Run with ``make demo``, or ``python examples/demo.py [--output PATH] [--times N]``.
"""

import argparse
import math
import pathlib
import sys
import time

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
import scipy.sparse

import quorvel

T = 1.0
DEGREES = (1, 2, 3, 4)
MESHES = (8, 16, 32, 64, 128)
Vector = npt.NDArray[np.float64]


def f(t: Vector) -> Vector:
    return np.exp(-t) * np.sin(6.0 * np.pi * t)


def lagrange_to_legendre(degree: int, n_t: int) -> scipy.sparse.csr_array:
    """Rows: the (degree + 1) * n_t Legendre DOFs; columns: the n_t * degree + 1 Lagrange DOFs."""
    return quorvel.lagrange_to_legendre_csr(degree, n_t)


def prolongation(nt_coarse: int, nt_fine: int, degree: int) -> scipy.sparse.csr_array:
    """Rows: the fine Lagrange DOFs; columns: the coarse ones."""
    return quorvel.lagrange_prolongation_csr(nt_coarse, nt_fine, degree)


def evaluator_from_lagrange(degree: int, n_t: int, lagrange_dofs: Vector) -> quorvel.LegendreBasisEvaluator:
    """An evaluator holding the Legendre DOFs of the continuous function with these nodal values."""
    legendre_dofs: Vector = lagrange_to_legendre(degree, n_t) @ lagrange_dofs
    evaluator = quorvel.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(legendre_dofs)
    return evaluator


def interpolant(degree: int, n_t: int) -> quorvel.LegendreBasisEvaluator:
    """The piecewise interpolant of f at the Lagrange points, ready to evaluate."""
    nodes = np.array(quorvel.get_lagrange_points(degree, n_t, T))
    return evaluator_from_lagrange(degree, n_t, f(nodes))


def evaluate(evaluator: quorvel.LegendreBasisEvaluator, times: Vector) -> Vector:
    return evaluator.evaluate(times)


def convergence_table(times: Vector, exact: Vector) -> dict[int, list[float]]:
    """Max errors over the times for every degree and mesh; prints the table with observed orders."""
    errors = {
        degree: [float(np.max(np.abs(evaluate(interpolant(degree, n_t), times) - exact))) for n_t in MESHES]
        for degree in DEGREES
    }
    print(f"\nmax |f - f_h| over {times.size:,} times; order = log2(error(n_t / 2) / error(n_t))")
    print("  n_t" + "".join(f" | degree {d}: error  order" for d in DEGREES))
    for i, n_t in enumerate(MESHES):
        cells = []
        for degree in DEGREES:
            error = errors[degree][i]
            order = f"{math.log2(errors[degree][i - 1] / error):5.2f}" if i > 0 else ""
            cells.append(f" | {error:15.2e}  {order:>5}")
        print((f"{n_t:5d}" + "".join(cells)).rstrip())
    print("     " + "".join(f" | {'expected':>15}  {f'h^{d + 1}':>5}" for d in DEGREES))
    return errors


def observed_orders_match(errors: dict[int, list[float]]) -> bool:
    """The order between the two finest meshes is within 0.25 of degree + 1 for every degree."""
    return all(abs(math.log2(errs[-2] / errs[-1]) - (degree + 1)) < 0.25 for degree, errs in errors.items())


def plot(path: pathlib.Path, times: Vector) -> None:
    shown = times[:: max(1, times.size // 4000)]
    coarse_degree, coarse_n_t = 2, 4
    coarse = interpolant(coarse_degree, coarse_n_t)
    nodes = np.array(quorvel.get_lagrange_points(coarse_degree, coarse_n_t, T))

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 7), sharex=True, constrained_layout=True)
    top.plot(shown, f(shown), color="black", linewidth=1.5, label="f(t) = exp(-t) sin(6πt)")
    top.plot(
        shown,
        evaluate(coarse, shown),
        color="tab:orange",
        linewidth=1.5,
        label=f"f_h: degree {coarse_degree}, n_t = {coarse_n_t}",
    )
    top.plot(nodes, f(nodes), "o", color="tab:orange", markersize=5, label="Lagrange points")
    for k in range(coarse_n_t + 1):
        top.axvline(k * T / coarse_n_t, color="grey", linewidth=0.5, linestyle=":")
    top.set_ylabel("value")
    top.set_title("A continuous piecewise polynomial, evaluated in the Legendre basis")
    top.legend(loc="upper right")

    n_t = 16
    for degree in DEGREES:
        error = np.abs(evaluate(interpolant(degree, n_t), shown) - f(shown))
        bottom.semilogy(shown, np.maximum(error, 1e-17), linewidth=1.0, label=f"degree {degree}")
    bottom.set_ylim(1e-12, 1.0)
    bottom.set_xlabel("t")
    bottom.set_ylabel("|f - f_h|")
    bottom.set_title(f"Interpolation error on n_t = {n_t} intervals")
    bottom.legend(loc="lower center", ncols=len(DEGREES))
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    # The figure stays open for whoever runs this: a notebook, or the gallery of the documentation,
    # shows it as well.


def main() -> int:
    # The script's own path; runners that define no __file__ (the gallery of the documentation) set it too.
    default_output = pathlib.Path(sys.argv[0]).resolve().parent.parent / "build" / "demo.png"
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--output", type=pathlib.Path, default=default_output, help="where the PNG goes")
    parser.add_argument("--times", type=int, default=1_000_000, help="number of evaluation times")
    args = parser.parse_args()

    times = np.linspace(0.0, T, args.times)
    exact = f(times)

    degree, n_t = 3, 32
    nodes = np.array(quorvel.get_lagrange_points(degree, n_t, T))
    print(f"degree {degree}, n_t {n_t}: {nodes.size} Lagrange points on [0, {T}], {(degree + 1) * n_t} Legendre DOFs")
    evaluator = interpolant(degree, n_t)
    values = evaluate(evaluator, times)  # the first large batch also starts the worker pool
    start = time.perf_counter()
    evaluator.evaluate(times, out=values)
    elapsed = time.perf_counter() - start
    error = np.max(np.abs(values - exact))
    print(f"evaluate at {times.size:,} times: {elapsed * 1e3:.1f} ms, max |f - f_h| {error:.2e}")

    nt_fine = 4 * n_t
    fine_dofs = prolongation(n_t, nt_fine, degree) @ f(nodes)
    fine = evaluator_from_lagrange(degree, nt_fine, fine_dofs)
    difference = np.max(np.abs(evaluate(fine, times) - values))
    reproduced = bool(difference < 1e-12)
    verdict = "the same function" if reproduced else "NOT the same function"
    print(f"prolongated to n_t {nt_fine}: {fine_dofs.size} Lagrange DOFs, {verdict} (max difference {difference:.1e})")

    errors = convergence_table(times, exact)
    matches = observed_orders_match(errors)
    print("observed orders match h^(degree + 1)" if matches else "observed orders do NOT match h^(degree + 1)")

    plot(args.output, times)
    print(f"plot written to {args.output}")
    return 0 if matches and reproduced else 1


if __name__ == "__main__":
    # Exits only on failure, so that a run inside another program (the gallery of the
    # documentation) goes on after a success.
    if main() != 0:
        raise SystemExit(1)
