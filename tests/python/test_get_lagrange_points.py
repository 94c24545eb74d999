"""get_lagrange_points: the nodes of the continuous piecewise Lagrange basis, bit for bit."""

import pytest
from conftest import assert_bits_equal

import quorvel

# Its internal failure (capacity overflow) is a row of test_lagrange_prolongation_matrix.py::test_failures, the table
# of the three triplet functions; its argument errors are tested in test_module.py.


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((2, 2, 1.0), [0.0, 0.25, 0.5, 0.75, 1.0]),
        ((1, 2, 3), [0.0, 1.5, 3.0]),
        ((2, 2, -1.0), [-0.0, -0.25, -0.5, -0.75, -1.0]),
        ((0, 5, 2.0), [2.0]),
        ((3, 0, 2.0), [2.0]),
        ((3, 1, 3.0), [0.0, 1.0, 2.0, 3.0]),
        ((1, 3, 1.0), [0.0, 0.3333333333333333, 0.6666666666666666, 1.0]),
        ((1, 6, 1.0), [0.0, 1 / 6, 1 / 3, 0.5, 2 / 3, 0.8333333333333333, 1.0]),
        ((2, 3, 0.0), [0.0] * 7),
    ],
)
def test_lagrange_points(args, expected):
    assert_bits_equal(quorvel.get_lagrange_points(*args), expected)


def test_lagrange_points_follow_the_node_rule_bit_for_bit():
    degree, n_t, T = 4, 10, 2.7
    h = T / n_t
    expected = []
    k = 0.0
    for _ in range(n_t):
        a, b = h * k, h + h * k
        expected += [a + ((b - a) * i) / degree for i in range(degree)]
        k += 1.0
    expected.append(T)
    points = quorvel.get_lagrange_points(degree=degree, n_t=n_t, T=T)
    assert len(points) == 41
    assert_bits_equal(points, expected)
