"""Prints one digest of the exact bits of every callable's results over a fixed
set of arguments, one line per callable. Two builds of the module give the same
lines exactly when they give the same bits: `make test-wheel` compares the
installed wheel with the normal build this way.

    python scripts/bit_digest.py [DIRECTORY]

DIRECTORY, if given, is where quorvel must have been imported from.
"""

import array
import hashlib
import pathlib
import random
import struct
import sys
from typing import Any

import quorvel

SETUPS = [
    (degree, n_t, T) for degree in (0, 1, 2, 3, 5, 8, 13) for n_t in (1, 2, 7, 64) for T in (1.0, 0.3, 2.5, 1e3, 1e-7)
]


def times_for(rng: random.Random, n_t: int, T: float, count: int) -> list[float]:
    """Mesh points, their neighbours, points outside [0, T] and random points."""
    h = T / n_t
    times = [k * h for k in range(n_t + 1)] + [-T, -0.0, 1.5 * T, float("inf"), -float("inf")]
    times += [t * (1 + s * 2.0**-52) for t in times[: n_t + 1] for s in (-1, 1)]
    times += [rng.uniform(-0.05 * T, 1.05 * T) for _ in range(count - len(times))]
    return times


class Digest:
    """Per group: how many values, and the SHA-256 of their exact bits in order."""

    def __init__(self) -> None:
        self.counts: dict[str, int] = {}
        self.hashes: dict[str, Any] = {}

    def add(self, group: str, values: list[int] | list[float]) -> None:
        hashed = self.hashes.setdefault(group, hashlib.sha256())
        for value in values:
            hashed.update(struct.pack("<q", value) if isinstance(value, int) else struct.pack("<d", value))
        self.counts[group] = self.counts.get(group, 0) + len(values)


def main() -> None:
    if len(sys.argv) > 1:
        found = pathlib.Path(quorvel.__file__).parent.resolve()
        if found != pathlib.Path(sys.argv[1]).resolve():
            sys.exit(f"bit_digest: quorvel was imported from {found}, not from {sys.argv[1]}")
    rng = random.Random(20240613)
    digest = Digest()
    for degree, n_t, T in SETUPS:
        dofs = [rng.uniform(-2.0, 2.0) for _ in range((degree + 1) * n_t)]
        basis = quorvel.LegendreBasis(degree, n_t, T)
        evaluator = quorvel.LegendreBasisEvaluator(degree, n_t, T)
        evaluator.set_dofs(dofs)
        few = times_for(rng, n_t, T, 200)
        for t in few:
            digest.add("LegendreBasis.evaluate_at", [basis.evaluate_at(t, dofs)])
            digest.add("LegendreBasis.evaluate_all_basis_functions", basis.evaluate_all_basis_functions(t))
            digest.add(
                "LegendreBasis.evaluate_all_basis_function_derivatives",
                basis.evaluate_all_basis_function_derivatives(t),
            )
            digest.add("LegendreBasisEvaluator.evaluate_at", [evaluator.evaluate_at(t)])
            digest.add("LegendreBasisEvaluator.evaluate_derivative_at", [evaluator.evaluate_derivative_at(t)])
        # Past 2048 times the batch runs on the worker pool.
        many = array.array("d", times_for(rng, n_t, T, 5000))
        digest.add("LegendreBasisEvaluator.evaluate_many", evaluator.evaluate_many(many))
        digest.add("LegendreBasisEvaluator.evaluate_derivative_many", evaluator.evaluate_derivative_many(many))
        digest.add("get_lagrange_points", quorvel.get_lagrange_points(degree, n_t, T))
        # The array API: every derivative order up to one past the degree, and the tabulation.
        for order in range(min(degree, 4) + 2):
            digest.add(
                f"LegendreBasisEvaluator.evaluate order {order}", evaluator.evaluate(many, derivative=order).tolist()
            )
            intervals, values = basis.tabulate(many[:600], derivative=order)
            digest.add(f"LegendreBasis.tabulate order {order}", intervals.ravel().tolist())
            digest.add(f"LegendreBasis.tabulate order {order}", values.ravel().tolist())
        for matrix in (quorvel.legendre_mass_matrix(degree, n_t, T), quorvel.legendre_dg_time_matrix(degree, n_t, T)):
            digest.add("Legendre time matrices", matrix.data.tolist())
        if 1 <= degree <= 100:
            for matrix in (
                quorvel.lagrange_mass_matrix(degree, n_t, T),
                quorvel.lagrange_derivative_matrix(degree, n_t, T),
                quorvel.lagrange_to_legendre_csr(degree, n_t),
                quorvel.lagrange_prolongation_csr(n_t, 3 * n_t + 1, degree),
            ):
                digest.add("Lagrange matrices as csr_array", matrix.data.tolist())
                digest.add("Lagrange matrices as csr_array", matrix.indices.tolist())
        for rule in ("gauss", "radau", "lobatto"):
            for part in quorvel.quadrature(degree + 2, n_t, T, rule=rule):
                digest.add(f"quadrature {rule}", part.tolist())
        if degree >= 1:
            for part in quorvel.lagrange_to_legendre_basis_transformation(degree, n_t):
                digest.add("lagrange_to_legendre_basis_transformation", part)
            for nt_fine in (n_t, 2 * n_t, 3 * n_t + 1):
                for part in quorvel.lagrange_prolongation_matrix(n_t, nt_fine, degree):
                    digest.add("lagrange_prolongation_matrix", part)
    for group in sorted(digest.counts):
        print(f"{group} {digest.counts[group]} {digest.hashes[group].hexdigest()}")


if __name__ == "__main__":
    main()
