"""Fork safety: a child of a process whose worker pool is built runs large batches.

Each scenario runs in its own interpreter, and every wait on a child is
bounded: a hang shows up as a timeout, not as a stuck test run.
"""

import os
import subprocess
import sys

import pytest
from conftest import reliability_log

PRELUDE = r"""
import multiprocessing, os, signal, sys, threading, time
import numpy as np
import quorvel

def tasks():
    return len(os.listdir("/proc/self/task"))

ev = quorvel.LegendreBasisEvaluator(3, 50, 2.0)
ev.set_dofs([((i * 37) % 11) / 11.0 - 0.5 for i in range(200)])
times = np.random.default_rng(0).uniform(0.0, 2.0, 100_000)
expected = [ev.evaluate_at(t) for t in times.tolist()]
expected_derivative = [ev.evaluate_derivative_at(t) for t in times.tolist()]

def batches_correct(evaluator=ev, n=len(times)):
    return (evaluator.evaluate_many(times[:n]) == expected[:n]
            and evaluator.evaluate_derivative_many(times[:n]) == expected_derivative[:n])

def in_child(body, timeout=60):
    # Forks; the child runs body() and exits with its code. Returns that code, or "timeout".
    pid = os.fork()
    if pid == 0:
        code = 99
        try:
            code = body()
        finally:
            os._exit(code)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "timeout"
"""

AFTER_POOL = r"""
before = tasks()
assert batches_correct()  # builds the pool in the parent
pool_threads = tasks() - before

def child():
    if tasks() != 1:  # the parent's workers are not copied
        return 2
    if not batches_correct():
        return 3
    if tasks() - 1 != pool_threads:  # rebuilt with the parent's size
        return 4
    grandchild = in_child(lambda: 0 if batches_correct(n=2048) else 5)
    return 0 if grandchild == 0 else 6

print(in_child(child), in_child(child), pool_threads)
assert batches_correct()  # the parent's pool still works
"""

BEFORE_POOL = r"""
assert ev.evaluate_many(times[:2047]) == expected[:2047]  # below the threshold: no pool yet
print(in_child(lambda: 0 if batches_correct() else 3), batches_correct())
"""

MULTIPROCESSING = r"""
assert batches_correct()

def work(n):
    return ev.evaluate_many(times[:n]) == expected[:n] and ev.evaluate_derivative_many(times[:n]) == expected_derivative[:n]

sizes = [2048, 5000, 100_000, 2048, 77_777, 2049] * int(sys.argv[1])
with multiprocessing.get_context("fork").Pool(2) as pool:
    results = pool.map_async(work, sizes, chunksize=1).get(timeout=120)
print(all(results), len(results))
"""

DURING_BATCH = r"""
other = quorvel.LegendreBasisEvaluator(3, 50, 2.0)
other.set_dofs([((i * 37) % 11) / 11.0 - 0.5 for i in range(200)])
stop = threading.Event()
batches = [0]

def busy():
    # Large batches, back to back: forks land while the pool is working for this thread.
    while not stop.is_set():
        assert other.evaluate(times).tolist() == expected
        batches[0] += 1

thread = threading.Thread(target=busy)
thread.start()
while batches[0] == 0:
    time.sleep(0.001)

def child():
    # `other` was shared-borrowed by a thread that does not exist in the child: its borrow
    # is gone with it, so set_dofs works, and the pool restarts without that thread's batch.
    other.set_dofs([((i * 37) % 11) / 11.0 - 0.5 for i in range(200)])
    return 0 if batches_correct() and batches_correct(other, 4096) else 3

rng = np.random.default_rng(1)
codes = []
for _ in range(int(sys.argv[1])):
    time.sleep(float(rng.uniform(0, 0.01)))
    codes.append(in_child(child))
stop.set()
thread.join(timeout=60)
print(sorted(set(codes)), len(codes), batches[0], thread.is_alive())
"""


IN_A_CALL = r"""
# A call's own conversion forks, and the child goes on inside that call: a borrow taken and
# returned there meanwhile, and then the call's own return, leave nothing borrowed.
forked = []

class ForkingTime:
    def __float__(self):
        forked.append(os.fork())
        if forked[0] == 0:
            ev.evaluate_at(0.25)
        return 0.5

value = ev.evaluate_at(ForkingTime())
if forked[0] == 0:
    code = 3
    try:
        ev.set_dofs([((i * 37) % 11) / 11.0 - 0.5 for i in range(200)])
        code = 0 if value == ev.evaluate_at(0.5) and batches_correct() else 4
    finally:
        os._exit(code)
print(os.waitstatus_to_exitcode(os.waitpid(forked[0], 0)[1]), value == ev.evaluate_at(0.5))
"""


def run(body, *args, env=None, timeout=600):
    clean = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    clean.update(env or {})
    out = subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning", "-c", PRELUDE + body, *map(str, args)],
        capture_output=True,
        text=True,
        env=clean,
        timeout=timeout,
    )
    assert out.returncode == 0, out.stderr
    return out.stdout.split()


@pytest.mark.parametrize("threads", ["1", "3"])
def test_fork_after_the_pool_is_built(threads):
    first, second, pool_threads = run(AFTER_POOL, env={"RAYON_NUM_THREADS": threads})
    assert (first, second, pool_threads) == ("0", "0", threads)


def test_fork_before_the_pool_is_built():
    assert run(BEFORE_POOL) == ["0", "True"]


@pytest.mark.parametrize("rounds", [pytest.param(1, id="short"), pytest.param(50, id="long", marks=pytest.mark.long)])
def test_multiprocessing_fork_pool(rounds):
    assert run(MULTIPROCESSING, rounds) == ["True", str(6 * rounds)]
    reliability_log(f"fork: multiprocessing pool (fork context) ran {6 * rounds} large batches")


def test_fork_inside_a_call_keeps_the_borrow_count_right():
    assert run(IN_A_CALL) == ["0", "True"]


@pytest.mark.parametrize("forks", [pytest.param(10, id="short"), pytest.param(300, id="long", marks=pytest.mark.long)])
def test_fork_while_another_thread_is_mid_batch(forks):
    codes, count, batches, alive = run(DURING_BATCH, forks, env={"RAYON_NUM_THREADS": "2"})
    assert (codes, count, alive) == ("[0]", str(forks), "False")
    reliability_log(
        f"fork: {forks} forks during {batches} running 100000-time batches; every child finished its batches"
    )
