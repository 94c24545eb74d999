"""sum_as_string: the exact sum of two unsigned 32-bit integers, as text."""

import numpy as np
import pytest
from conftest import Index

import quorvel

# Its binding and conversion errors follow the rules every callable shares: test_module.py.


def test_function_metadata():
    f = quorvel.sum_as_string
    assert f.__text_signature__ == "(a, b)"
    assert f.__doc__ == "Formats the sum of two numbers as string."
    assert f.__module__ == "quorvel"
    assert f.__self__ is quorvel


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        ((2, 3), {}, "5"),
        ((), {"a": 2, "b": 3}, "5"),
        ((2,), {"b": 3}, "5"),
        ((True, 0), {}, "1"),
        ((0, 0), {}, "0"),
        ((Index(7), Index(8)), {}, "15"),
        ((np.uint32(4), np.int64(5)), {}, "9"),
        # The exact sum, not the sum modulo 2**32.
        ((4294967295, 1), {}, "4294967296"),
        ((4294967295, 4294967295), {}, "8589934590"),
    ],
)
def test_sum_as_string_values(args, kwargs, expected):
    assert quorvel.sum_as_string(*args, **kwargs) == expected
