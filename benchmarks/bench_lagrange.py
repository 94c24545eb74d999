"""Sparse matrices of the Lagrange side against the floor of building their triplets.

The floor is what no implementation can avoid: three Python lists of the
result's length built from NumPy arrays with .tolist(). Each figure is a
median of repeats measured in the same run; the second size is 8 times larger
to show that the work is linear in the number of entries.
"""

import statistics
import time

import numpy as np

import quorvel

REPEATS = 7


def median_time(fn):
    samples = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = fn()
        samples.append(time.perf_counter() - start)
        del result
    return statistics.median(samples)


def floor_time(entries):
    rows = np.arange(entries, dtype=np.int64)
    cols = np.arange(entries, dtype=np.int64)
    vals = np.linspace(0.0, 1.0, entries)
    return median_time(lambda: (rows.tolist(), cols.tolist(), vals.tolist()))


def report(label, fn):
    entries = len(fn()[0])
    ours = median_time(fn)
    floor = floor_time(entries)
    print(
        f"  {label:<48} {entries:>10} entries {ours * 1e3:9.2f} ms  floor {floor * 1e3:8.2f} ms"
        f"  ratio {ours / floor:5.2f}"
    )
    return ours / entries


def main():
    print(f"sparse matrices as triplets (medians of {REPEATS}; target ratio <= 1.5)")
    for scale in (1, 8):
        per_entry = [
            report(
                f"lagrange_prolongation_matrix(2**15*{scale}, 2**16*{scale}, 4)",
                lambda: quorvel.lagrange_prolongation_matrix(2**15 * scale, 2**16 * scale, 4),
            ),
            report(
                f"lagrange_to_legendre_basis_transformation(4, 2**16*{scale})",
                lambda: quorvel.lagrange_to_legendre_basis_transformation(4, 2**16 * scale),
            ),
        ]
        print(f"  time per entry: {per_entry[0] * 1e9:.1f} ns and {per_entry[1] * 1e9:.1f} ns")


if __name__ == "__main__":
    main()
