"""Finite elements in space, Galerkin in time: the heat equation on a square
=========================================================================

The heat equation u_t = Laplace u on the unit square, u = 0 on its boundary,
with P1 finite elements on a triangulated square in space (scikit-fem
assembles the mass matrix M and the stiffness matrix A) and dG(2) in time
(``quorvel.solve_dg``): M u' + A u = 0 with u0 = sin(pi x) sin(pi y).

The exact solution is exp(-2 pi^2 t) u0. The table shows the error at T of
the whole space-time discretisation for finer and finer meshes in space (the
time steps stay fine enough that space dominates): it falls like h^2, the
order of P1 elements. A plot shows the solution at a few times.

Run with ``make demo``, or ``python examples/heat_fem.py [--output PATH]``.
"""

import argparse
import math
import pathlib
import sys
from typing import Any

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
import scipy.sparse
import skfem
from skfem.helpers import dot, grad

import quorvel

T = 0.05


def stiffness_form(u: Any, v: Any, w: Any) -> Any:
    return dot(grad(u), grad(v))


def mass_form(u: Any, v: Any, w: Any) -> Any:
    return u * v


stiffness = skfem.BilinearForm(stiffness_form)
mass = skfem.BilinearForm(mass_form)


def solve(refinements: int) -> tuple[skfem.Basis, npt.NDArray[np.int64], quorvel.LegendreExpansion]:
    """The P1 basis, its interior DOFs, and dG(2) in time for the heat equation on them."""
    mesh = skfem.MeshTri().refined(refinements)
    basis = skfem.Basis(mesh, skfem.ElementTriP1())
    interior = basis.complement_dofs(basis.get_dofs())  # u = 0 on the boundary
    A = scipy.sparse.csr_array(stiffness.assemble(basis))[interior][:, interior]
    M = scipy.sparse.csr_array(mass.assemble(basis))[interior][:, interior]
    x, y = basis.doflocs[:, interior]
    u0 = np.sin(np.pi * x) * np.sin(np.pi * y)
    return basis, interior, quorvel.solve_dg(M, A, u0, degree=2, n_t=10, T=T)


def main() -> int:
    default_output = pathlib.Path(sys.argv[0]).resolve().parent.parent / "build" / "heat_fem.png"
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--output", type=pathlib.Path, default=default_output, help="where the PNG goes")
    args = parser.parse_args()

    decay = math.exp(-2.0 * math.pi**2 * T)
    print(f"u_t = Laplace u on the unit square, P1 in space, dG(2) on 10 intervals of [0, {T}]")
    print("  triangles   unknowns   max error at T   ratio")
    errors: list[float] = []
    for refinements in (2, 3, 4, 5):
        basis, interior, u = solve(refinements)
        x, y = basis.doflocs[:, interior]
        error = float(np.abs(u(T, side="left") - decay * np.sin(np.pi * x) * np.sin(np.pi * y)).max())
        ratio = f"{errors[-1] / error:7.2f}" if errors else ""
        errors.append(error)
        print(f"  {basis.mesh.t.shape[1]:9d} {len(interior):10d} {error:16.3e}   {ratio}")
    converges = all(3.5 < errors[k] / errors[k + 1] < 4.5 for k in range(len(errors) - 1))
    print("the error falls like h^2" if converges else "the error does NOT fall like h^2")

    basis, interior, u = solve(4)
    fig, axes = plt.subplots(1, 3, figsize=(12, 3.8), constrained_layout=True)
    for axis, t in zip(axes, (0.0, T / 2, T), strict=True):
        values = np.zeros(basis.N)
        values[interior] = u(t, side="left") if t > 0 else u(t)
        image = axis.tripcolor(*basis.mesh.p, basis.mesh.t.T, values, shading="gouraud", vmin=0.0, vmax=1.0)
        axis.set_title(f"t = {t:g}")
        axis.set_aspect("equal")
    fig.colorbar(image, ax=axes, label="u")
    args.output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.output, dpi=100)
    # The figure stays open for whoever runs this: a notebook, or the gallery of the documentation.
    print(f"plot written to {args.output}")
    return 0 if converges else 1


if __name__ == "__main__":
    # Exits only on failure, so that a run inside another program (the gallery of the
    # documentation) goes on after a success.
    if main() != 0:
        raise SystemExit(1)
