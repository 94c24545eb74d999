"""Resource limits: storage beyond the largest signed machine word is "capacity overflow";
storage the system refuses is MemoryError. The process survives both and the module
stays usable, for every callable that allocates in proportion to its arguments."""

import subprocess
import sys

import numpy as np
import pytest
from conftest import LONG, reliability_log

import quorvel
from quorvel import LegendreBasis, LegendreBasisEvaluator

U32 = 2**32 - 1


def module_still_works():
    ev = LegendreBasisEvaluator(1, 2, 2.0)
    ev.set_dofs([1, 2, 3, 4])
    assert ev.evaluate_many(np.full(4096, 0.5)) == [1.0] * 4096
    assert quorvel.get_lagrange_points(2, 2, 1.0) == [0.0, 0.25, 0.5, 0.75, 1.0]
    assert quorvel.lagrange_prolongation_matrix(1, 2, 1) == ([0, 1, 1, 2], [0, 0, 1, 1], [1.0, 0.5, 0.5, 1.0])
    assert LegendreBasis(1, 2, 1.0).evaluate_all_basis_functions(0.75) == [0.0, 1.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "call",
    [
        lambda: LegendreBasis(U32, U32, 1.0).evaluate_all_basis_functions(0.5),
        lambda: LegendreBasis(U32, U32, 1.0).evaluate_all_basis_function_derivatives(0.5),
        lambda: LegendreBasisEvaluator(U32, U32, 1.0),
        lambda: LegendreBasisEvaluator(2**31, 2**30, 1.0),  # 2**61 values: just above the limit
        lambda: quorvel.get_lagrange_points(U32, U32, 1.0),
        lambda: quorvel.lagrange_to_legendre_basis_transformation(U32, U32),
        lambda: quorvel.lagrange_to_legendre_basis_transformation(2**31, 1),  # the dense local matrix
    ],
    ids=[
        "all_basis",
        "all_derivatives",
        "evaluator",
        "evaluator_at_the_edge",
        "points",
        "transformation",
        "local_matrix",
    ],
)
def test_storage_beyond_the_machine_word_is_capacity_overflow(call, panic, diagnostics):
    with pytest.raises(panic) as info:
        call()
    assert str(info.value) == "capacity overflow"
    assert diagnostics() == ["capacity overflow"]
    module_still_works()


@pytest.mark.refusable_allocation
def test_huge_sizes_fail_cleanly(panic, diagnostics):
    huge = quorvel.LegendreBasis(4294967295, 4294967295, 1.0)
    with pytest.raises(panic, match="^capacity overflow$"):
        huge.evaluate_all_basis_functions(0.5)
    with pytest.raises(panic, match="^Matrix view: input data buffer too small.$"):
        huge.evaluate_at(0.5, [1.0])
    assert diagnostics() == ["capacity overflow", "Matrix view: input data buffer too small."]
    with pytest.raises(MemoryError):
        quorvel.LegendreBasis(2**28, 2**28, 1.0).evaluate_all_basis_function_derivatives(0.5)
    assert quorvel.LegendreBasis(0, 1, 1.0).evaluate_at(0.5, [3.0]) == 3.0


@pytest.mark.refusable_allocation
def test_constructor_sizes(panic, diagnostics):
    with pytest.raises(panic, match="^capacity overflow$"):
        LegendreBasisEvaluator(4294967295, 4294967295, 1.0)
    assert diagnostics() == ["capacity overflow"]
    with pytest.raises(MemoryError):
        LegendreBasisEvaluator(2**28, 2**28, 1.0)
    with pytest.raises(OverflowError):
        LegendreBasisEvaluator(1, -2, 1.0)
    with pytest.raises(TypeError, match="^argument 'T': "):
        LegendreBasisEvaluator(1, 2, "T")


# Runs each named case under an address-space limit a little above what the
# process already uses; the worker pool is built before the limit is set.
LIMITED = r"""
import resource, sys
import numpy as np
import quorvel
from quorvel import LegendreBasis, LegendreBasisEvaluator

ev = LegendreBasisEvaluator(1, 2, 2.0)
ev.set_dofs([1, 2, 3, 4])
big = 2**31

def usable():
    return (ev.evaluate_many(np.full(4096, 0.5)) == [1.0] * 4096
            and ev.evaluate_derivative_at(0.5) == 6.0
            and quorvel.get_lagrange_points(2, 2, 1.0) == [0.0, 0.25, 0.5, 0.75, 1.0]
            and quorvel.lagrange_to_legendre_basis_transformation(1, 1)[2] == [0.5, 0.5, -0.5, 0.5]
            and LegendreBasis(1, 2, 1.0).evaluate_at(0.75, [1, 2, 3, 4]) == 2.0
            and quorvel.lagrange_to_legendre_csr(1, 2).nnz == 8)

CASES = {
    "LegendreBasis.evaluate_at": lambda: LegendreBasis(0, big, 1.0).evaluate_at(0.5, range(big)),
    "LegendreBasis.evaluate_all_basis_functions": lambda: LegendreBasis(0, big, 1.0).evaluate_all_basis_functions(0.5),
    "LegendreBasis.evaluate_all_basis_function_derivatives":
        lambda: LegendreBasis(1, big, 1.0).evaluate_all_basis_function_derivatives(0.5),
    "LegendreBasisEvaluator": lambda: LegendreBasisEvaluator(0, big, 1.0),
    "LegendreBasisEvaluator.set_dofs": lambda: ev.set_dofs(range(big)),
    "LegendreBasisEvaluator.evaluate_many": lambda: ev.evaluate_many(np.broadcast_to(np.float64(0.5), (big,))),
    "LegendreBasisEvaluator.evaluate_derivative_many":
        lambda: ev.evaluate_derivative_many(np.broadcast_to(np.float64(0.5), (big,))),
    "evaluate_many result": lambda: ev.evaluate_many(np.broadcast_to(np.float64(0.5), (2**24,))),
    "get_lagrange_points": lambda: quorvel.get_lagrange_points(1, big, 1.0),
    "lagrange_prolongation_matrix": lambda: quorvel.lagrange_prolongation_matrix(1, big - 1, 1),
    "lagrange_to_legendre_basis_transformation": lambda: quorvel.lagrange_to_legendre_basis_transformation(1, big),
    "lagrange_to_legendre_basis_transformation local matrix":
        lambda: quorvel.lagrange_to_legendre_basis_transformation(2**16, 1),
    "lagrange_prolongation_csr": lambda: quorvel.lagrange_prolongation_csr(1, 2**24, 8),
    "lagrange_to_legendre_csr": lambda: quorvel.lagrange_to_legendre_csr(1, big),
    "quadrature": lambda: quorvel.quadrature(1024, big, 1.0),
    "quadrature weights": lambda: quorvel.quadrature(4, 5_000_000, 1.0),  # the points array fits
}

assert usable()  # builds the worker pool while threads can still be started
with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + (256 << 20), resource.RLIM_INFINITY))
for name in sys.argv[1:]:
    try:
        CASES[name]()
        result = "no error"
    except MemoryError:
        result = "MemoryError"
    except BaseException as e:
        result = type(e).__name__ + ": " + str(e)
    print(name, "|", result, "|", usable(), flush=True)
"""

CASE_NAMES = [
    "LegendreBasis.evaluate_at",
    "LegendreBasis.evaluate_all_basis_functions",
    "LegendreBasis.evaluate_all_basis_function_derivatives",
    "LegendreBasisEvaluator",
    "LegendreBasisEvaluator.set_dofs",
    "LegendreBasisEvaluator.evaluate_many",
    "LegendreBasisEvaluator.evaluate_derivative_many",
    "evaluate_many result",
    "get_lagrange_points",
    "lagrange_prolongation_matrix",
    "lagrange_to_legendre_basis_transformation",
    "lagrange_to_legendre_basis_transformation local matrix",
    "lagrange_prolongation_csr",
    "lagrange_to_legendre_csr",
    "quadrature",
    "quadrature weights",
]


@pytest.mark.refusable_allocation
def test_refused_allocations_raise_memory_error():
    rounds = 5 if LONG else 1
    out = subprocess.run(
        [sys.executable, "-c", LIMITED, *CASE_NAMES * rounds], capture_output=True, text=True, timeout=600
    )
    assert out.returncode == 0, out.stderr
    lines = [line.split(" | ") for line in out.stdout.splitlines()]
    assert lines == [[name, "MemoryError", "True"] for name in CASE_NAMES * rounds]
    reliability_log(
        f"limits: {len(lines)} refused allocations under RLIMIT_AS, each a MemoryError, module usable after"
    )
