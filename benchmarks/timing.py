"""What the benchmarks share: the median of repeated timings, and a piecewise Legendre
function in SciPy's PPoly form, the peer the evaluations are compared with."""

import statistics
import time

import numpy as np
from numpy.polynomial import legendre as npleg
from numpy.polynomial import polynomial as nppoly
from scipy.interpolate import PPoly


def median_time(fn, repeats):
    """The median of `repeats` timings of fn(), in seconds."""
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def ppoly_of(coefficients, T):
    """The same function in scipy's local power form: c[k, c, ...], highest power first.

    coefficients[i, c, ...] is the coefficient of P_i on interval c of the uniform mesh of [0, T].
    """
    degree, n_t = coefficients.shape[0] - 1, coefficients.shape[1]
    h = T / n_t
    # Column i: the power series in s = t - a of P_i(2 s / h - 1).
    to_powers = np.zeros((degree + 1, degree + 1))
    for i in range(degree + 1):
        in_x = npleg.leg2poly([0.0] * i + [1.0])
        for k, a in enumerate(in_x):
            to_powers[: k + 1, i] += a * nppoly.polypow([-1.0, 2.0 / h], k)
    powers = np.tensordot(to_powers, coefficients, axes=(1, 0))
    return PPoly(powers[::-1], np.linspace(0.0, T, n_t + 1))
