"""solve_dg and solve_cg against SciPy's stiff integrators and the hand-written marching.

The 2-D heat equation of examples/work_precision.py on a 128 x 128 interior grid
(n = 16384), M = I, T = 0.1. The figure is the wall time to reach a relative error
of at most 1e-8 at T, each method at the coarsest setting that reaches it (the
fewest intervals per degree; the largest rtol in half decades for solve_ivp, with
atol = rtol / 1000). Final times are medians of round-robin repeats, so every
ratio comes from the same run. Run with `make bench`.
"""

import importlib.util
import pathlib
import statistics
import time

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "work_precision.py"
spec = importlib.util.spec_from_file_location("work_precision", EXAMPLE)
assert spec is not None and spec.loader is not None
work_precision = importlib.util.module_from_spec(spec)
spec.loader.exec_module(work_precision)

GRID, REPEATS, TARGET = 128, 5, work_precision.TARGET


def coarsest_intervals(heat, run, start):
    """The fewest intervals (doubling, then bisection) whose error is at most TARGET."""
    low, n_t = 0, start
    while heat.error(run(n_t)) > TARGET:
        low, n_t = n_t, 2 * n_t
    while n_t - low > 1:
        middle = (low + n_t) // 2
        low, n_t = (low, middle) if heat.error(run(middle)) <= TARGET else (middle, n_t)
    return n_t


def largest_rtol(heat, method):
    for k in range(8, 25):
        rtol = 10.0 ** (-k / 2)
        if heat.error(work_precision.ivp(heat, method, rtol)) <= TARGET:
            return rtol
    raise RuntimeError(f"{method} reached no tolerance")


def main():
    heat = work_precision.Heat(GRID)
    print(f"u_t = Laplace u, n = {heat.A.shape[0]}, T = {work_precision.T}, target relative error {TARGET:g} at T")
    runs = {}
    for scheme, degrees in (("dG", (2, 3, 4)), ("cG", (2, 3))):
        for q in degrees:
            n_t = coarsest_intervals(heat, lambda n, s=scheme, q=q: work_precision.galerkin(heat, s, q, n), 1)
            runs[f"quorvel {scheme}({q}), n_t = {n_t}"] = lambda s=scheme, q=q, n=n_t: work_precision.galerkin(
                heat, s, q, n
            )
    n_t = coarsest_intervals(heat, lambda n: work_precision.handwritten(heat, 2, n), 2)
    runs[f"hand-written dG(2), one splu, n_t = {n_t}"] = lambda n=n_t: work_precision.handwritten(heat, 2, n)
    for method in ("BDF", "Radau"):
        rtol = largest_rtol(heat, method)
        runs[f"solve_ivp {method}, rtol = {rtol:.0e}"] = lambda m=method, r=rtol: work_precision.ivp(heat, m, r)
    samples = {name: [] for name in runs}
    for _ in range(REPEATS):
        for name, run in runs.items():
            start = time.perf_counter()
            error = heat.error(run())
            samples[name].append(time.perf_counter() - start)
            assert error <= TARGET, (name, error)
    median = {name: statistics.median(values) for name, values in samples.items()}
    for name, seconds in median.items():
        print(f"  {name:44s} {seconds * 1e3:9.1f} ms")
    ours = min(seconds for name, seconds in median.items() if name.startswith("quorvel"))
    ivp = min(seconds for name, seconds in median.items() if name.startswith("solve_ivp"))
    hand = next(seconds for name, seconds in median.items() if name.startswith("hand-written"))
    verdict = {True: "PASS", False: "MISS"}
    print(
        f"  quorvel's fastest vs the faster of BDF and Radau: {ivp / ours:5.1f}x (target >= 20x) {verdict[ivp / ours >= 20]}"
    )
    print(
        f"  quorvel's fastest vs the hand-written marching:   {hand / ours:5.1f}x (target >= 2x) {verdict[hand / ours >= 2]}"
    )


if __name__ == "__main__":
    main()
