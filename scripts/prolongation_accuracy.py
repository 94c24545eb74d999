"""The accuracy of lagrange_prolongation_csr's entries against their exact rational values, per
degree: the worst relative and absolute error of an entry and the NaN entries, over four pairs
of meshes. docs/lagrange_prolongation_csr.md shows the figures.

    PYTHONPATH=build python scripts/prolongation_accuracy.py 5 10 20 30 45 60 100
"""

import sys
from fractions import Fraction
from math import factorial, prod

import quorvel

MESHES = [(1, 3), (2, 3), (3, 7), (5, 8)]


def errors(nt_coarse: int, nt_fine: int, d: int) -> tuple[float, float, int]:
    m = quorvel.lagrange_prolongation_csr(nt_coarse, nt_fine, d)
    worst_rel, worst_abs, nan = 0.0, 0.0, 0
    for r in range(m.shape[0]):
        cols = m.indices[m.indptr[r] : m.indptr[r + 1]]
        k = min(int(cols.min()) // d, nt_coarse - 1)  # the interval the matrix chose
        # The fine node's place in coarse interval k, in units of the node spacing: u = p / Q.
        p, Q = r * nt_coarse - k * nt_fine * d, nt_fine
        got = {int(c) - k * d: float(v) for c, v in zip(cols, m.data[m.indptr[r] : m.indptr[r + 1]])}
        for j in range(d + 1):
            numerator = prod(p - q * Q for q in range(d + 1) if q != j)
            if numerator == 0:
                continue
            exact = Fraction(numerator, Q**d * (-1) ** (d - j) * factorial(j) * factorial(d - j))
            v = got.get(j, 0.0)
            if v != v:
                nan += 1
                continue
            error = abs(Fraction(v) - exact)
            worst_rel = max(worst_rel, float(error / abs(exact)))
            worst_abs = max(worst_abs, float(error))
    return worst_rel, worst_abs, nan


def main() -> None:
    for degree in [int(a) for a in sys.argv[1:]]:
        rows = [errors(nc, nf, degree) for nc, nf in MESHES]
        norm = max(abs(quorvel.lagrange_prolongation_csr(nc, nf, degree)).sum(axis=1).max() for nc, nf in MESHES)
        print(
            f"degree {degree:4d}: worst relative error {max(r[0] for r in rows):.2g}, "
            f"worst absolute error {max(r[1] for r in rows):.2g}, NaN entries {sum(r[2] for r in rows)}, "
            f"largest row sum of |entries| {norm:.2g}",
            flush=True,
        )


if __name__ == "__main__":
    main()
