"""A short tour of quorvel's main job: evaluating piecewise Legendre expansions in time.

f(t) = sin(2 pi t) on [0, T] is projected onto the discontinuous piecewise
Legendre space (L2 projection with Gauss quadrature, done here in NumPy), and
the expansion is evaluated with quorvel. The error shrinks like h^(degree+1).
"""

import math

import numpy as np

import quorvel


def legendre_dofs(f, degree, n_t, T):
    """Flat DOF list (interval index fastest) of the L2 projection of f."""
    nodes, weights = np.polynomial.legendre.leggauss(degree + 2)
    h = T / n_t
    dofs = np.empty((degree + 1, n_t))
    for c in range(n_t):
        values = f(h * c + (nodes + 1.0) * (h / 2))
        for k in range(degree + 1):
            pk = np.polynomial.legendre.legval(nodes, [0] * k + [1])
            dofs[k, c] = (2 * k + 1) / 2 * np.sum(weights * values * pk)
    return dofs.ravel().tolist()


def main():
    T = 1.0

    def f(t):
        return np.sin(2 * np.pi * t)

    samples = np.linspace(0.0, T, 2001)
    print("max |f - f_h| over 2001 sample times")
    print(f"{'degree':>6} {'n_t':>5} {'error':>12} {'order':>6}")
    for degree in (1, 2, 3):
        previous = None
        for n_t in (4, 8, 16, 32):
            basis = quorvel.LegendreBasis(degree, n_t, T)
            dofs = legendre_dofs(f, degree, n_t, T)
            error = max(abs(basis.evaluate_at(t, dofs) - f(t)) for t in samples.tolist())
            order = "" if previous is None else f"{math.log2(previous / error):6.2f}"
            print(f"{degree:>6} {n_t:>5} {error:12.3e} {order:>6}")
            previous = error
    print("observed orders approach degree + 1")


if __name__ == "__main__":
    main()
