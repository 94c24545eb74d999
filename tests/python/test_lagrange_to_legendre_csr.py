"""lagrange_to_legendre_csr: the transformation's matrix as a scipy.sparse.csr_array, without copies."""

import gc
import sys

import numpy as np
import pytest
from conftest import assert_mirrors, native_buffer_type

import quorvel
from quorvel import lagrange_to_legendre_csr

# Its native arrays, index widths, threads, bad arguments and metadata share their tables with
# lagrange_prolongation_csr, in test_lagrange_prolongation_csr.py.


@pytest.mark.parametrize("degree", range(1, 9))
def test_transformation_equals_the_triplets(degree):
    for n_t in (0, 1, 2, 7, 5000):
        assert_mirrors(
            lagrange_to_legendre_csr(degree, n_t=n_t),
            quorvel.lagrange_to_legendre_basis_transformation(degree, n_t),
            ((degree + 1) * n_t, n_t * degree + 1),
        )


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
