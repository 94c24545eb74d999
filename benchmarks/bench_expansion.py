"""LegendreExpansion against PPoly, the hand-written routes through tabulate, and the
floor of writing the result.

Run with `make bench`. Every figure is a median of repeats, measured in the same run
as the figures it is compared with, and printed beside its target with PASS or MISS.
"""

import subprocess
import sys

import numpy as np
import scipy.sparse
import timing
from timing import ppoly_of

import quorvel

REPEATS = 11


def median_time(fn, repeats=REPEATS):
    return timing.median_time(fn, repeats)


def verdict(passed):
    return "PASS" if passed else "MISS"


def line(name, seconds, comparison="", target=None, passed=None):
    text = f"  {name:<40}{seconds * 1e3:9.3f} ms"
    if comparison:
        text += f"   {comparison} (target {target}) {verdict(passed)}"
    print(text)


# Memory: the resident set walked page by page (smaps_rollup: exact, unlike the counters
# behind getrusage, which lag behind page faults of other threads) around the call, and
# the peak of what Python's allocators traced during it (quorvel's arrays come from the
# raw allocator, which tracemalloc sees).
RSS_SCRIPT = r"""
import tracemalloc
import numpy as np
import quorvel
def resident():
    with open("/proc/self/smaps_rollup") as rollup:
        return next(int(line.split()[1]) * 1024 for line in rollup if line.startswith("Rss:"))
rng = np.random.default_rng(0)
expansion = quorvel.LegendreExpansion(rng.uniform(-1, 1, (3, 256, 100)), 1.0)
times = rng.uniform(0.0, 1.0, 10**5)
expansion(times[:4096])  # the pool and NumPy's first call, outside the figure
before = resident()
tracemalloc.start()
result = expansion(times)
traced = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
print(resident() - before, traced, result.nbytes)
"""


def vector_valued():
    degree, n_t, m, n, T = 2, 256, 100, 10**5, 1.0
    rng = np.random.default_rng(0)
    coefficients = rng.uniform(-1.0, 1.0, (degree + 1, n_t, m))
    times = rng.uniform(0.0, T, n)
    expansion = quorvel.LegendreExpansion(coefficients, T)
    pp = ppoly_of(coefficients, T)
    basis = quorvel.LegendreBasis(degree, n_t, T)
    flat = coefficients.reshape(-1, m)
    out = np.empty((n, m))

    def tabulate_sparse():
        c, values = basis.tabulate(times)
        rows = np.repeat(np.arange(n), degree + 1)
        cols = (c[:, None] + n_t * np.arange(degree + 1)).ravel()
        return scipy.sparse.csr_array((values.ravel(), (rows, cols)), shape=(n, n_t * (degree + 1))) @ flat

    def tabulate_dense():
        c, values = basis.tabulate(times)
        return np.einsum("nk,knm->nm", values, coefficients[:, c, :])

    reference = expansion(times)
    assert np.allclose(reference, pp(times), atol=1e-9), "PPoly disagrees"
    assert np.allclose(reference, tabulate_sparse(), atol=1e-12), "the sparse route disagrees"
    assert np.allclose(reference, tabulate_dense(), atol=1e-12), "the dense route disagrees"

    print(f"degree {degree}, n_t {n_t}, trailing ({m},), {n} random times (medians of {REPEATS})")
    t_fill = median_time(lambda: out.fill(1.0))
    t_fresh = median_time(lambda: np.empty((n, m)).fill(1.0))
    t_call = median_time(lambda: expansion(times))
    t_out = median_time(lambda: expansion(times, out=out))
    t_left = median_time(lambda: expansion(times, side="left"))
    t_ppoly = median_time(lambda: pp(times), 5)
    t_sparse = median_time(tabulate_sparse, 5)
    t_dense = median_time(tabulate_dense, 5)
    best = min(t_sparse, t_dense)
    line("floor: out.fill(1.0)", t_fill)
    line("np.empty(shape).fill(1.0) (a new array)", t_fresh)
    line("expansion(t)", t_call, f"{t_call / t_fill:5.2f}x out.fill", "<= 2x", t_call / t_fill <= 2)
    line("expansion(t, out=out)", t_out, f"{t_out / t_fill:5.2f}x out.fill", "<= 2x", t_out / t_fill <= 2)
    line("expansion(t, side='left')", t_left, f"{t_left / t_fill:5.2f}x out.fill", "<= 2x", t_left / t_fill <= 2)
    line("PPoly(t)", t_ppoly, f"{t_ppoly / t_call:5.1f}x expansion(t)", ">= 5x", t_ppoly / t_call >= 5)
    line("tabulate + sparse product", t_sparse)
    line("tabulate + dense product", t_dense, f"{best / t_call:5.1f}x expansion(t), best", ">= 3x", best / t_call >= 3)
    out_rss = subprocess.run([sys.executable, "-c", RSS_SCRIPT], capture_output=True, text=True, check=True)
    growth, traced, nbytes = map(int, out_rss.stdout.split())
    ratio = max(growth, traced) / nbytes
    print(
        f"  memory of a call: resident {growth / 1e6:6.1f} MB, traced peak {traced / 1e6:6.1f} MB, "
        f"for a {nbytes / 1e6:.0f} MB result: {ratio:4.2f}x (target <= 1.1x) {verdict(ratio <= 1.1)}"
    )


def scalar():
    degree, n_t, n, T = 3, 1000, 10**6, 1.0
    rng = np.random.default_rng(1)
    coefficients = rng.uniform(-1.0, 1.0, (degree + 1, n_t))
    times = rng.uniform(0.0, T, n)
    expansion = quorvel.LegendreExpansion(coefficients, T)
    evaluator = quorvel.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(coefficients.ravel())
    pp = ppoly_of(coefficients, T)
    buf = np.empty(n)
    assert np.allclose(expansion(times), pp(times), atol=1e-9)
    print(f"trailing (), degree {degree}, n_t {n_t}, {n} random times (medians of {REPEATS})")
    t_call = median_time(lambda: expansion(times))
    t_evaluate = median_time(lambda: evaluator.evaluate(times))
    t_out = median_time(lambda: expansion(times, out=buf))
    t_copy = median_time(lambda: np.copyto(buf, times))
    t_ppoly = median_time(lambda: pp(times), 5)
    line("evaluator.evaluate(t)", t_evaluate)
    ratio = t_call / t_evaluate
    line("expansion(t)", t_call, f"{ratio:5.2f}x evaluate(t)", "~1x", ratio <= 1.25)
    line("PPoly(t)", t_ppoly, f"{t_ppoly / t_call:5.1f}x expansion(t)", ">= 20x", t_ppoly / t_call >= 20)
    line("floor: np.copyto(buf, t)", t_copy)
    line("expansion(t, out=buf)", t_out, f"{t_out / t_copy:5.2f}x the floor", "<= 4x", t_out / t_copy <= 4)


def main():
    vector_valued()
    scalar()


if __name__ == "__main__":
    main()
