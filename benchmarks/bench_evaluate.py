"""Batch and single evaluation against the floor and against scipy's PPoly.

Run with `make bench`. Every figure is a median of repeats, measured in the
same run as the figures it is compared with.
"""

import math
import statistics
import time
import timeit

import numpy as np
from numpy.polynomial import legendre as npleg
from numpy.polynomial import polynomial as nppoly
from scipy.interpolate import PPoly

import quorvel

DEGREE, N_T, T, N = 3, 1000, 1.0, 10**6
REPEATS = 15


def median_time(fn, repeats=REPEATS):
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def ppoly_from_legendre(dofs):
    """The same piecewise polynomial in scipy's local power form (highest power first)."""
    h = T / N_T
    coeffs = np.empty((DEGREE + 1, N_T))
    leg = np.asarray(dofs).reshape(DEGREE + 1, N_T)
    for c in range(N_T):
        in_x = npleg.leg2poly(leg[:, c])  # power series in x = 2 s / h - 1
        in_s = np.zeros(DEGREE + 1)
        for k, a in enumerate(in_x):
            in_s[: k + 1] += a * nppoly.polypow([-1.0, 2.0 / h], k)
        coeffs[:, c] = in_s[::-1]
    return PPoly(coeffs, np.linspace(0.0, T, N_T + 1))


def main():
    rng = np.random.default_rng(0)
    times = rng.uniform(0.0, T, N)
    dofs = rng.uniform(-1.0, 1.0, N_T * (DEGREE + 1)).tolist()
    ev = quorvel.LegendreBasisEvaluator(DEGREE, N_T, T)
    ev.set_dofs(dofs)
    pp = ppoly_from_legendre(dofs)
    result_sized = np.empty(N)

    ours = ev.evaluate_many(times)
    theirs = pp(times)
    assert np.allclose(ours, theirs, rtol=1e-9, atol=1e-9), "PPoly disagrees"

    t_ours = median_time(lambda: ev.evaluate_many(times))
    t_floor = median_time(lambda: times.copy()) + median_time(lambda: result_sized.tolist())
    t_ppoly = median_time(lambda: pp(times).tolist())
    print(f"batch of {N} random times, degree {DEGREE}, n_t {N_T} (medians of {REPEATS})")
    print(f"  evaluate_many          {t_ours * 1e3:8.2f} ms")
    print(f"  floor (copy + tolist)  {t_floor * 1e3:8.2f} ms   ratio {t_ours / t_floor:5.2f} (target <= 1.25)")
    print(f"  PPoly + tolist         {t_ppoly * 1e3:8.2f} ms   speed-up {t_ppoly / t_ours:5.2f} (target >= 3)")

    t = 0.123456
    number = 200_000
    fabs = math.fabs
    at = ev.evaluate_at
    names = {"at": at, "fabs": fabs, "t": t}
    single = statistics.median(timeit.repeat("at(t)", globals=names, number=number, repeat=7)) / number
    floor = statistics.median(timeit.repeat("fabs(t)", globals=names, number=number, repeat=7)) / number
    print("one call")
    print(f"  evaluate_at(t)         {single * 1e9:8.1f} ns")
    print(f"  math.fabs(t)           {floor * 1e9:8.1f} ns   ratio {single / floor:5.2f} (target <= 1.5)")


if __name__ == "__main__":
    main()
