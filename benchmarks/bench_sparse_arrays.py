"""The scipy.sparse matrices of quorvel against three yardsticks measured in the same run.

- the triplet path: the triplet function, then scipy.sparse.csr_array((values, (rows, cols)));
- a NumPy construction of the same matrix, vectorised (written below; it gives the
  same entries bit for bit, which is checked);
- the floor: allocating and writing once arrays of the result's sizes and dtypes
  (np.empty and fill), which no construction can avoid;

and the growth of peak resident memory while one matrix is built, against the
matrix's own bytes (in a fresh process). Times are medians of repeats taken in
turns, so that a busy machine weighs on all of them alike. Run with `make bench`.
"""

import statistics
import subprocess
import sys
import time

import numpy as np
import scipy.sparse

import quorvel

REPEATS = 9
TRIPLET_REPEATS = 3


def numpy_lagrange_to_legendre(degree, n_t):
    """Row p * n_t + e holds M[i, p] at column e * degree + i: the local block (one
    interval's matrix) repeated down every block row, by broadcasting."""
    width = degree + 1
    _, _, local = quorvel.lagrange_to_legendre_basis_transformation(degree, 1)
    weights = np.array(local).reshape(width, width)  # row p: the node weights of P_p
    data = np.broadcast_to(weights[:, None, :], (width, n_t, width)).reshape(-1)
    columns = np.arange(n_t, dtype=np.int32)[:, None] * degree + np.arange(width, dtype=np.int32)
    indices = np.broadcast_to(columns, (width, n_t, width)).reshape(-1)
    indptr = np.arange(0, width * n_t * width + 1, width, dtype=np.int32)
    return scipy.sparse.csr_array((data, indices, indptr), shape=(width * n_t, n_t * degree + 1))


def numpy_prolongation(nt_coarse, nt_fine, degree):
    """Every fine node t at once: its coarse interval c and reference coordinate xi,
    then the barycentric values of the degree + 1 coarse basis functions there (a unit
    row on a coarse node), in the operation order of the library; exact zeros dropped."""
    width = degree + 1
    last_fine = nt_fine * degree
    nodes = -1.0 + (2.0 * np.arange(width)) / degree
    weights = np.array([1.0 / np.prod([nodes[i] - nodes[j] for j in range(width) if j != i]) for i in range(width)])
    x = (np.arange(last_fine + 1, dtype=np.float64) / last_fine) * nt_coarse
    c = np.minimum(np.floor(x), nt_coarse - 1)
    xi = (x - c) + (x - c) - 1.0
    difference = xi[:, None] - nodes
    near = np.abs(difference) < 1e-14
    on_node = near.any(axis=1)
    with np.errstate(divide="ignore", invalid="ignore"):
        quotients = weights / difference
        total = quotients[:, 0].copy()
        for j in range(1, width):  # summed in ascending order, as the library does
            total = total + quotients[:, j]
        values = quotients / total[:, None]
    values[on_node] = 0.0
    values[on_node, np.argmax(near[on_node], axis=1)] = 1.0
    keep = values != 0.0
    columns = (c.astype(np.int32) * degree)[:, None] + np.arange(width, dtype=np.int32)
    indptr = np.zeros(last_fine + 2, dtype=np.int32)
    np.cumsum(keep.sum(axis=1), out=indptr[1:])
    shape = (last_fine + 1, nt_coarse * degree + 1)
    return scipy.sparse.csr_array((values[keep], columns[keep], indptr), shape=shape)


def triplet_path(triplets, shape):
    rows, cols, values = triplets()
    return scipy.sparse.csr_array((values, (rows, cols)), shape=shape)


def floor(reference):
    """Arrays of the result's sizes and dtypes, allocated and written once."""
    arrays = []
    for like in (reference.data, reference.indices, reference.indptr):
        array = np.empty(like.shape, like.dtype)
        array.fill(1)
        arrays.append(array)
    return arrays


CASES = [
    (
        "lagrange_to_legendre_csr(4, 2**19)",
        lambda: quorvel.lagrange_to_legendre_csr(4, 2**19),
        lambda: triplet_path(
            lambda: quorvel.lagrange_to_legendre_basis_transformation(4, 2**19), (5 * 2**19, 4 * 2**19 + 1)
        ),
        lambda: numpy_lagrange_to_legendre(4, 2**19),
    ),
    (
        "lagrange_prolongation_csr(2**18, 2**19, 4)",
        lambda: quorvel.lagrange_prolongation_csr(2**18, 2**19, 4),
        lambda: triplet_path(
            lambda: quorvel.lagrange_prolongation_matrix(2**18, 2**19, 4), (4 * 2**19 + 1, 4 * 2**18 + 1)
        ),
        lambda: numpy_prolongation(2**18, 2**19, 4),
    ),
]

# Run in a fresh process: the peak of resident memory, reset just before the build.
PEAK_SCRIPT = """
import sys, quorvel
quorvel.lagrange_to_legendre_csr(1, 20000)  # SciPy imported, worker pool started
def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field + ":"))
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")
before = status("VmRSS")
matrix = eval(sys.argv[1])
print(status("VmHWM") - before, matrix.data.nbytes + matrix.indices.nbytes + matrix.indptr.nbytes)
"""


def same_matrix(a, b):
    return (
        a.shape == b.shape
        and np.array_equal(a.indptr, b.indptr)
        and np.array_equal(a.indices, b.indices)
        and a.data.tobytes() == b.data.tobytes()
    )


def timed(function):
    start = time.perf_counter()
    result = function()
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def verdict(ok):
    return "PASS" if ok else "MISS"


def main():
    print(f"sparse matrices as scipy.sparse.csr_array (medians of {REPEATS}, triplet path of {TRIPLET_REPEATS})")
    for label, ours, triplets, numpy_build in CASES:
        reference = ours()
        assert same_matrix(numpy_build(), reference), "the NumPy construction differs"
        assert same_matrix(triplets(), reference), "the triplet path differs"
        samples = {"ours": [], "numpy": [], "floor": [], "triplets": []}
        for k in range(REPEATS):
            samples["ours"].append(timed(ours))
            samples["numpy"].append(timed(numpy_build))
            samples["floor"].append(timed(lambda: floor(reference)))
            if k < TRIPLET_REPEATS:
                samples["triplets"].append(timed(triplets))
        t = {name: statistics.median(values) for name, values in samples.items()}
        out = subprocess.run(
            [sys.executable, "-c", PEAK_SCRIPT, "quorvel." + label], capture_output=True, text=True, check=True
        )
        growth, own = map(int, out.stdout.split())
        print(f"{label}: {reference.nnz} entries, {own / 2**20:.1f} MiB, {reference.indices.dtype} indices")
        print(f"  ours                        {t['ours'] * 1e3:9.1f} ms")
        speed_up = t["triplets"] / t["ours"]
        print(
            f"  triplets + csr_array        {t['triplets'] * 1e3:9.1f} ms  speed-up {speed_up:6.1f}  "
            f"(target >= 10)    {verdict(speed_up >= 10)}"
        )
        speed_up = t["numpy"] / t["ours"]
        print(
            f"  NumPy construction          {t['numpy'] * 1e3:9.1f} ms  speed-up {speed_up:6.1f}  "
            f"(target >= 3)     {verdict(speed_up >= 3)}"
        )
        ratio = t["ours"] / t["floor"]
        print(
            f"  floor (np.empty + fill)     {t['floor'] * 1e3:9.1f} ms  ratio    {ratio:6.2f}  "
            f"(target <= 3)     {verdict(ratio <= 3)}"
        )
        ratio = growth / own
        print(
            f"  peak RSS growth             {growth / 2**20:9.1f} MiB ratio    {ratio:6.2f}  "
            f"(target <= 1.25)  {verdict(ratio <= 1.25)}"
        )


if __name__ == "__main__":
    main()
