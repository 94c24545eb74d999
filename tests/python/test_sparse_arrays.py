"""lagrange_prolongation_csr and lagrange_to_legendre_csr: scipy.sparse matrices without copies.

The triplet functions are the oracle: the same entries, count and bits. The
arrays must be the ones quorvel allocated (no copy by SciPy on the way), live
exactly as long as some array views them, and be built without the interpreter
lock.
"""

import gc
import resource
import subprocess
import sys
import threading

import numpy as np
import pytest
import scipy.sparse
from conftest import SANITIZED

import quorvel
from quorvel import lagrange_prolongation_csr, lagrange_to_legendre_csr

I32 = 2**31 - 1

# (nt_coarse, nt_fine): finer, equal, coarser; nested and not; the 333/999 rows that
# miss the node tolerance; enough rows for several chunks on the worker pool.
MESHES = [(1, 2), (3, 7), (7, 3), (5, 5), (4, 8), (8, 4), (333, 999), (999, 333), (17, 20000)]


def triplets_of(matrix):
    rows = np.repeat(np.arange(matrix.shape[0]), np.diff(matrix.indptr))
    return rows.tolist(), matrix.indices.tolist(), matrix.data.tobytes()


def assert_mirrors(matrix, triplets, shape):
    assert type(matrix) is scipy.sparse.csr_array
    assert matrix.shape == shape
    rows, cols, values = triplets
    assert triplets_of(matrix) == (rows, cols, np.array(values, dtype=np.float64).tobytes())
    # SciPy's own verdict on a fresh matrix of the same arrays, not the flag we set.
    fresh = scipy.sparse.csr_array((matrix.data, matrix.indices, matrix.indptr), shape=shape)
    assert fresh.has_canonical_format and matrix.has_canonical_format


def owner_of(array):
    """The object at the end of the array's base chain (through memoryviews)."""
    while isinstance(array, (np.ndarray, memoryview)):
        array = array.obj if isinstance(array, memoryview) else array.base
    return array


def native_buffer_type():
    return type(owner_of(lagrange_to_legendre_csr(1, 1).data))


@pytest.mark.parametrize("degree", range(1, 9))
def test_prolongation_equals_the_triplets(degree):
    for nt_coarse, nt_fine in MESHES:
        assert_mirrors(
            lagrange_prolongation_csr(nt_coarse, nt_fine, degree),
            quorvel.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree),
            (nt_fine * degree + 1, nt_coarse * degree + 1),
        )


@pytest.mark.parametrize("degree", range(1, 9))
def test_transformation_equals_the_triplets(degree):
    for n_t in (0, 1, 2, 7, 5000):
        assert_mirrors(
            lagrange_to_legendre_csr(degree, n_t=n_t),
            quorvel.lagrange_to_legendre_basis_transformation(degree, n_t),
            ((degree + 1) * n_t, n_t * degree + 1),
        )


def test_high_degrees_keep_their_exact_zeros_out_and_nans_in():
    # Weights overflow at degree 712: some rows lose every entry, others hold NaN.
    matrix = lagrange_prolongation_csr(1, 2, 712)
    assert_mirrors(matrix, quorvel.lagrange_prolongation_matrix(1, 2, 712), (1425, 713))
    assert 0 in np.diff(matrix.indptr) and np.isnan(matrix.data).any()


@pytest.mark.parametrize(
    ("call", "shape", "index_dtype"),
    [
        # Only the column count crosses 2**31 - 1; the rows and entries are few.
        (lambda: lagrange_prolongation_csr(2**30 - 1, 1, 2), (3, I32), np.int32),
        (lambda: lagrange_prolongation_csr(I32, 1, 1), (2, I32 + 1), np.int64),
        (lambda: lagrange_prolongation_csr(2**29, 2, 4), (9, 2**31 + 1), np.int64),
        (lambda: lagrange_to_legendre_csr(3, 2), (8, 7), np.int32),
    ],
)
def test_arrays_are_the_native_ones_with_the_fitting_index_width(call, shape, index_dtype):
    matrix = call()
    assert matrix.shape == shape
    assert matrix.indices.dtype == matrix.indptr.dtype == index_dtype
    assert matrix.data.dtype == np.float64
    for array in (matrix.data, matrix.indices, matrix.indptr):
        assert not array.flags.owndata and array.flags.writeable and array.flags.c_contiguous
        owner = owner_of(array)
        assert type(owner).__name__ == "NativeBuffer" and type(owner).__module__ == "quorvel"
        assert memoryview(owner).format == array.dtype.char
    assert matrix.indptr[-1] == matrix.nnz == len(matrix.data)
    assert not hasattr(quorvel, "NativeBuffer")
    with pytest.raises(TypeError):
        type(owner_of(matrix.data))()


def test_arrays_outlive_the_matrix_and_are_freed_with_their_last_view():
    buffer_type = native_buffer_type()
    gc.collect()
    live = sys.getrefcount(buffer_type)  # every owner holds a reference to its type
    matrix = lagrange_to_legendre_csr(2, 3)
    arrays = [matrix.data, matrix.indices, matrix.indptr]
    expected = [array.copy() for array in arrays]
    del matrix
    gc.collect()
    for _ in range(100):  # memory freed too early would be reused and overwritten here
        lagrange_to_legendre_csr(2, 3).data[:] = -1.0
    assert all(np.array_equal(array, copy) for array, copy in zip(arrays, expected))
    assert sys.getrefcount(buffer_type) == live + 3
    del arrays[1:]
    gc.collect()
    assert sys.getrefcount(buffer_type) == live + 1
    del arrays
    gc.collect()
    assert sys.getrefcount(buffer_type) == live


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def test_ten_thousand_matrices_leave_nothing_behind():
    buffer_type = native_buffer_type()

    def cycle():
        for _ in range(10**4 // 2):
            lagrange_prolongation_csr(3, 7, 2).indptr.sum()
            lagrange_to_legendre_csr(3, 20).data.sum()

    cycle()  # warm-up: SciPy's caches, free lists
    gc.collect()
    live, blocks, rss = sys.getrefcount(buffer_type), sys.getallocatedblocks(), resident_bytes()
    cycle()
    gc.collect()
    assert sys.getrefcount(buffer_type) == live
    assert sys.getallocatedblocks() - blocks < 100
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory back
        assert resident_bytes() - rss < 1 << 20


def test_eight_threads_build_at_once():
    calls = [
        (lagrange_prolongation_csr, (17, 20000, 3)),
        (lagrange_prolongation_csr, (333, 999, 4)),
        (lagrange_to_legendre_csr, (5, 6000)),
    ]
    expected = [triplets_of(f(*args)) for f, args in calls]
    start = threading.Barrier(8)
    mismatches = []

    def work(k):
        start.wait()
        for i in range(6):
            j = (k + i) % len(calls)
            f, args = calls[j]
            if triplets_of(f(*args)) != expected[j]:
                mismatches.append((k, j))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []


def test_the_interpreter_lock_is_released_while_building():
    # Without forced switches the main thread runs only when the builder lets it:
    # if it ever finds a build unfinished, the build let it in. (A try can miss
    # when the builder takes the lock back first; a held lock never lets it in.)
    lagrange_to_legendre_csr(1, 1)  # SciPy imported, nothing left to load
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        for _ in range(20):
            ready, state = threading.Event(), {"done": False}

            def build():
                ready.set()
                lagrange_prolongation_csr(2**16, 2**17, 4)
                state["done"] = True

            builder = threading.Thread(target=build)
            builder.start()
            ready.wait()
            let_in = not state["done"]
            builder.join()
            if let_in:
                break
    finally:
        sys.setswitchinterval(interval)
    assert let_in


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: lagrange_prolongation_csr(1, 2, 0), ValueError, "degree must be at least 1, got 0"),
        (lambda: lagrange_prolongation_csr(0, 2, 1), ValueError, "nt_coarse must be at least 1, got 0"),
        (lambda: lagrange_prolongation_csr(1, 0, 1), ValueError, "nt_fine must be at least 1, got 0"),
        (
            lambda: lagrange_prolongation_csr(1, 2**32, 1),
            ValueError,
            "nt_fine must be at most 4294967295, got 4294967296",
        ),
        (
            lambda: lagrange_prolongation_csr(1, 1, 2**32 - 1),
            ValueError,
            "degree must be at most 4294967294, got 4294967295",
        ),
        (
            lambda: lagrange_prolongation_csr(2**30, 2, 4),
            ValueError,
            "nt_coarse must be at most 1073741823 at degree 4 (at most 4294967295 DOFs per mesh), got 1073741824",
        ),
        (
            lambda: lagrange_prolongation_csr(2, 2**31, 2),
            ValueError,
            "nt_fine must be at most 2147483647 at degree 2 (at most 4294967295 DOFs per mesh), got 2147483648",
        ),
        (lambda: lagrange_prolongation_csr(1.0, 2, 1), TypeError, "nt_coarse must be an int, got float"),
        (lambda: lagrange_prolongation_csr(1, 2, True), TypeError, "degree must be an int, got bool"),
        (
            lambda: lagrange_prolongation_csr(1, 2),
            TypeError,
            "lagrange_prolongation_csr() missing 1 required positional argument: 'degree'",
        ),
        (lambda: lagrange_to_legendre_csr(0, 3), ValueError, "degree must be at least 1, got 0"),
        (lambda: lagrange_to_legendre_csr(2, -1), ValueError, "n_t must be at least 0, got -1"),
        (lambda: lagrange_to_legendre_csr("2", 1), TypeError, "degree must be an int, got str"),
        (
            lambda: lagrange_to_legendre_csr(2**20, 2**30),
            ValueError,
            "n_t must be at most 524286 at degree 1048576 for the matrix to be addressable, got 1073741824",
        ),
        (
            lambda: lagrange_to_legendre_csr(4 * 10**9, 1),
            ValueError,
            "degree must be at most 759250123 for the matrix to be addressable, got 4000000000",
        ),
        (
            lambda: lagrange_to_legendre_csr(2, n_t=3, k=1),
            TypeError,
            "lagrange_to_legendre_csr() got an unexpected keyword argument 'k'",
        ),
    ],
)
def test_bad_arguments_raise_ordinary_exceptions(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_metadata():
    for function, signature in [
        (lagrange_prolongation_csr, "(nt_coarse, nt_fine, degree)"),
        (lagrange_to_legendre_csr, "(degree, n_t)"),
    ]:
        assert function.__text_signature__ == signature
        assert function.__module__ == "quorvel"
        assert "csr_array" in function.__doc__ and "bit for bit" in function.__doc__


def test_import_quorvel_leaves_scipy_unimported():
    script = "import sys, quorvel; print('scipy' in sys.modules, 'numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["False", "False"]
