"""lagrange_prolongation_csr, and what it shares with lagrange_to_legendre_csr: scipy.sparse matrices
without copies.

The triplet functions are the oracle: the same entries, count and bits. The
arrays must be the ones quorvel allocated (no copy by SciPy on the way), live
exactly as long as some array views them, and be built without the interpreter
lock.
"""

import math
import sys
import threading

import numpy as np
import pytest
from conftest import assert_mirrors, owner_of, triplets_of

import quorvel
from quorvel import lagrange_prolongation_csr, lagrange_to_legendre_csr

# The tables below that cover both functions (arrays, threads, bad arguments, metadata) hold the cases of
# lagrange_to_legendre_csr too; its own are in test_lagrange_to_legendre_csr.py.


I32 = 2**31 - 1


# (nt_coarse, nt_fine): finer, equal, coarser; nested and not; the 333/999 rows that
# miss the node tolerance; enough rows for several chunks on the worker pool.
MESHES = [(1, 2), (3, 7), (7, 3), (5, 5), (4, 8), (8, 4), (333, 999), (999, 333), (17, 20000)]


@pytest.mark.parametrize("degree", range(1, 9))
def test_prolongation_equals_the_triplets(degree):
    for nt_coarse, nt_fine in MESHES:
        assert_mirrors(
            lagrange_prolongation_csr(nt_coarse, nt_fine, degree),
            quorvel.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree),
            (nt_fine * degree + 1, nt_coarse * degree + 1),
        )


def test_degrees_beyond_100_are_refused_while_the_triplets_keep_them():
    # Equispaced interpolation loses every digit long before: at degree 712 the weights overflow, some rows lose
    # every entry and others hold NaN. The triplets keep giving that; the csr_array refuses it.
    rows, _, values = quorvel.lagrange_prolongation_matrix(1, 2, 712)
    assert len(set(rows)) < 1425 and any(math.isnan(v) for v in values)
    for degree in (101, 712):
        with pytest.raises(ValueError) as error:
            lagrange_prolongation_csr(1, 2, degree)
        assert str(error.value) == f"degree must be at most 100, got {degree}"
    assert_mirrors(lagrange_prolongation_csr(1, 2, 100), quorvel.lagrange_prolongation_matrix(1, 2, 100), (201, 101))


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
            "degree must be at most 100, got 4294967295",
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
