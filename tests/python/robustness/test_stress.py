"""Many threads on shared evaluators and bases, set_dofs racing batches.

No crash and no deadlock; the only errors are the borrow refusals the rules
allow ("Already borrowed" for set_dofs while anything else holds the
evaluator, "Already mutably borrowed" for evaluation while set_dofs holds
it) and the documented wrong-length failure; every successful result is
bit for bit one of the results of a DOF set that was stored.
"""

import faulthandler
import math
import random
import sys
import threading
import time
import traceback
from collections import Counter

import numpy as np
import pytest
from conftest import reliability_log
from hostile import PANIC

import quorvel
from quorvel import LegendreBasis, LegendreBasisEvaluator

DEGREE, N_T, T = 3, 40, 2.0
COUNT = N_T * (DEGREE + 1)
DOF_SETS = [[math.sin(1.0 + i * (k + 1.5)) for i in range(COUNT)] for k in range(2)]
SIZES = (1, 300, 2048, 6000)  # below and above the worker pool's threshold
TIMES = {n: np.random.default_rng(n).uniform(-0.1, T + 0.1, n) for n in SIZES}
WRONG_LENGTH = (
    "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length\n"
    f"  left: {COUNT - 1}\n right: {COUNT}"
)


def reference_results():
    """For every DOF set, size and operation: the results as bytes, from single evaluations."""
    results = {}
    for k, dofs in enumerate(DOF_SETS):
        ev = LegendreBasisEvaluator(DEGREE, N_T, T)
        ev.set_dofs(dofs)
        for n, times in TIMES.items():
            for name, single in (("value", ev.evaluate_at), ("derivative", ev.evaluate_derivative_at)):
                results[k, n, name] = np.array([single(t) for t in times.tolist()]).tobytes()
    return results


class Yielding:
    """A DOF that lets other threads run while set_dofs converts it."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def stress(duration, n_threads):
    shared = [LegendreBasisEvaluator(DEGREE, N_T, T) for _ in range(2)]
    for ev in shared:
        ev.set_dofs(DOF_SETS[0])
    basis = LegendreBasis(DEGREE, N_T, T)
    expected = reference_results()
    probe = TIMES[300].tolist()
    all_basis = {t: basis.evaluate_all_basis_functions(t) for t in probe[:20]}
    module_calls = {
        "points": (lambda: quorvel.get_lagrange_points(3, 5, 1.0), quorvel.get_lagrange_points(3, 5, 1.0)),
        "prolongation": (
            lambda: quorvel.lagrange_prolongation_matrix(2, 3, 2),
            quorvel.lagrange_prolongation_matrix(2, 3, 2),
        ),
        "transformation": (
            lambda: quorvel.lagrange_to_legendre_basis_transformation(3, 4),
            quorvel.lagrange_to_legendre_basis_transformation(3, 4),
        ),
    }
    slow_sets = [[Yielding(v) if i % 16 == 0 else v for i, v in enumerate(dofs)] for dofs in DOF_SETS]
    # One Counter per thread, added up at the end: `counter[key] += 1` is not atomic (the
    # first increment of a key runs Counter.__missing__, where another thread may run).
    per_thread = [Counter() for _ in range(n_threads)]
    failures = []
    deadline = time.monotonic() + duration

    def one_of_the_stored(n, name, result):
        as_bytes = np.array(result, dtype=np.float64).tobytes()
        assert any(as_bytes == expected[k, n, name] for k in range(len(DOF_SETS))), f"torn or wrong {name} batch of {n}"

    def step(rng, counts):
        ev = rng.choice(shared)
        k = rng.randrange(len(DOF_SETS))
        op = rng.choice(
            [
                "set_dofs",
                "set_dofs_slow",
                "set_dofs_wrong",
                "at",
                "derivative_at",
                "many",
                "derivative_many",
                "basis",
                "module",
                "own",
            ]
        )
        try:
            if op == "set_dofs":
                ev.set_dofs(DOF_SETS[k])
            elif op == "set_dofs_slow":
                ev.set_dofs(slow_sets[k])
            elif op == "set_dofs_wrong":
                try:
                    ev.set_dofs(DOF_SETS[k][:-1])
                except PANIC as e:
                    assert str(e) == WRONG_LENGTH
                    counts[op, "wrong length"] += 1
                    return
            elif op in ("at", "derivative_at"):
                i = rng.randrange(len(probe))
                single = ev.evaluate_at if op == "at" else ev.evaluate_derivative_at
                name = "value" if op == "at" else "derivative"
                got = np.array([single(probe[i])]).tobytes()
                assert any(got == expected[k2, 300, name][8 * i : 8 * i + 8] for k2 in range(len(DOF_SETS)))
            elif op in ("many", "derivative_many"):
                n = rng.choice(SIZES)
                batch = ev.evaluate_many if op == "many" else ev.evaluate_derivative_many
                one_of_the_stored(n, "value" if op == "many" else "derivative", batch(TIMES[n]))
            elif op == "basis":
                i = rng.randrange(20)
                got = np.array([basis.evaluate_at(probe[i], DOF_SETS[k])]).tobytes()
                assert got == expected[k, 300, "value"][8 * i : 8 * i + 8]
                assert basis.evaluate_all_basis_functions(probe[i]) == all_basis[probe[i]]
            elif op == "module":
                call, result = module_calls[rng.choice(list(module_calls))]
                assert call() == result
            else:  # a private evaluator: shares only the worker pool
                own = LegendreBasisEvaluator(DEGREE, N_T, T)
                own.set_dofs(DOF_SETS[k])
                assert np.array(own.evaluate_many(TIMES[2048])).tobytes() == expected[k, 2048, "value"]
            counts[op, "ok"] += 1
        except RuntimeError as e:
            allowed = "Already borrowed" if op.startswith("set_dofs") else "Already mutably borrowed"
            assert op in (
                "set_dofs",
                "set_dofs_slow",
                "set_dofs_wrong",
                "at",
                "derivative_at",
                "many",
                "derivative_many",
            )
            assert str(e) == allowed, f"{op}: {e}"
            counts[op, "refused"] += 1

    def worker(seed):
        rng = random.Random(seed)
        try:
            while time.monotonic() < deadline:
                step(rng, per_thread[seed])
        except BaseException:  # noqa: BLE001 - reported by the main thread
            failures.append(traceback.format_exc())

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often: more interleavings
    # A deadlock would hang the run: dump every thread's stack and end the process instead.
    faulthandler.dump_traceback_later(duration + 120, exit=True)
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(n_threads)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=duration + 60)
        assert not any(t.is_alive() for t in threads), "threads still running: deadlock"
    finally:
        faulthandler.cancel_dump_traceback_later()
        sys.setswitchinterval(old_interval)
    assert not failures, failures[0]
    counts = sum(per_thread, Counter())
    for ev in shared:  # no borrow is left behind
        ev.set_dofs(DOF_SETS[1])
        assert np.array(ev.evaluate_many(TIMES[6000])).tobytes() == expected[1, 6000, "value"]
    return counts


@pytest.mark.parametrize(
    ("duration", "n_threads"),
    [pytest.param(3.0, 8, id="short"), pytest.param(180.0, 16, id="long", marks=pytest.mark.long)],
)
def test_threads_mixing_every_method(duration, n_threads, diagnostics):
    counts = stress(duration, n_threads)
    # Each wrong length wrote one diagnostic, from the thread that met it; no other failure did.
    assert diagnostics() == [WRONG_LENGTH] * counts["set_dofs_wrong", "wrong length"]
    ok = sum(v for (_, outcome), v in counts.items() if outcome == "ok")
    refused = sum(v for (_, outcome), v in counts.items() if outcome == "refused")
    reliability_log(
        f"stress: {n_threads} threads for {duration:.0f} s: {ok} calls succeeded, {refused} refused by borrows; "
        + ", ".join(f"{op} {outcome} {v}" for (op, outcome), v in sorted(counts.items()))
    )
    operations = {op for op, _ in counts}
    assert {"set_dofs", "at", "many", "derivative_many", "basis", "module", "own"} <= operations
    assert counts["many", "ok"] and counts["set_dofs", "ok"]
    assert refused > 0  # the races did happen
