"""LegendreBasisEvaluator: stored DOFs, single and batch evaluation, buffers, borrows."""

import array
import ctypes
import math
import os
import random
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from conftest import assert_bits_equal

from quorvel import LegendreBasisEvaluator


@pytest.fixture
def linear():
    ev = LegendreBasisEvaluator(1, 2, 2.0)
    ev.set_dofs([1, 2, 3, 4])
    return ev


def test_class_metadata():
    cls = LegendreBasisEvaluator
    assert cls.__text_signature__ == "(degree, n_t, T)"
    assert cls.__doc__ == "Class to evaluate legendre basis more often without copying the dofs from python each time"
    for name, param in [
        ("set_dofs", "legendre_vals"),
        ("evaluate_at", "t"),
        ("evaluate_derivative_at", "t"),
        ("evaluate_many", "t_values"),
        ("evaluate_derivative_many", "t_values"),
    ]:
        assert getattr(cls, name).__text_signature__ == f"($self, {param})"
    # The original methods keep their order; additions come after them.
    assert [n for n in vars(cls) if not n.startswith("__")][:5] == [
        "set_dofs",
        "evaluate_at",
        "evaluate_derivative_at",
        "evaluate_many",
        "evaluate_derivative_many",
    ]


def test_new_evaluator_is_zero():
    ev = LegendreBasisEvaluator(3, 5, 1.0)
    assert ev.evaluate_at(0.3) == 0.0
    assert ev.evaluate_derivative_at(0.7) == 0.0
    assert ev.evaluate_many(np.linspace(0, 1, 3000)) == [0.0] * 3000


def test_documented_values(linear):
    assert [linear.evaluate_at(t) for t in (0.5, 1.5, 1.0, 0.0, 2.0)] == [1.0, 2.0, -2.0, -2.0, 6.0]
    assert [linear.evaluate_derivative_at(t) for t in (0.5, 1.5)] == [6.0, 8.0]
    grid = np.array([[0.5, 1.5], [1.0, 2.0]])
    assert linear.evaluate_many(grid) == [1.0, 2.0, -2.0, 6.0]
    assert linear.evaluate_many(grid.T) == [1.0, -2.0, 2.0, 6.0]
    assert linear.evaluate_many(np.array([], dtype=np.float64)) == []
    assert linear.evaluate_derivative_many(grid) == [6.0, 8.0, 8.0, 8.0]
    assert linear.evaluate_many(t_values=grid[:, ::-1]) == [2.0, 1.0, 6.0, -2.0]


def test_set_dofs_length_is_checked_and_old_dofs_stay(linear, panic, diagnostics):
    with pytest.raises(panic) as info:
        linear.set_dofs([1, 2, 3])
    assert str(info.value) == (
        "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length\n"
        "  left: 3\n right: 4"
    )
    assert diagnostics() == [str(info.value)]
    assert linear.evaluate_at(0.5) == 1.0
    with pytest.raises(TypeError, match=r"^argument 'legendre_vals': Can't extract `str` to `Vec`$"):
        linear.set_dofs("abcd")
    with pytest.raises(TypeError, match=r"^argument 'legendre_vals': must be real number, not str$"):
        linear.set_dofs([1, 2, 3, "x"])
    assert linear.evaluate_at(0.5) == 1.0
    linear.set_dofs((5, 6, 7, 8))
    assert linear.evaluate_at(0.5) == 5.0
    linear.set_dofs(np.array([9.0, 10.0, 11.0, 12.0]))
    assert linear.evaluate_at(1.5) == 10.0


def test_zero_intervals(panic, diagnostics):
    ev = LegendreBasisEvaluator(2, 0, 1.0)
    ev.set_dofs([])
    for call in (lambda: ev.evaluate_at(0.5), lambda: ev.evaluate_derivative_many(np.zeros(3))):
        with pytest.raises(panic, match=r"^Matrix slicing out of bounds\.$"):
            call()
        assert diagnostics() == ["Matrix slicing out of bounds."]
    assert ev.evaluate_many(np.zeros(0)) == []


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


def aligned_float64_buffers():
    data = np.arange(12, dtype=np.float64) / 7.0
    c_array = (ctypes.c_double * 12)(*data.tolist())
    yield "ndarray 3-D", data.reshape(2, 3, 2), data.tolist()
    yield "strided slice", data[::3], data[::3].tolist()
    yield "fortran order", np.asfortranarray(data.reshape(3, 4)), data.reshape(3, 4).ravel().tolist()
    yield "read-only", np.frombuffer(data.tobytes(), dtype=np.float64), data.tolist()
    yield "array.array", array.array("d", data.tolist()), data.tolist()
    yield "memoryview", memoryview(array.array("d", data.tolist())), data.tolist()
    yield "memoryview of ctypes", memoryview(c_array), data.tolist()
    yield "little-endian dtype", data.astype("<f8"), data.tolist()
    yield "bytes cast to d", memoryview(data.tobytes()).cast("d"), data.tolist()


@pytest.mark.parametrize(("name", "buffer", "times"), list(aligned_float64_buffers()), ids=lambda v: str(v)[:20])
def test_buffers_are_read_in_row_major_order(name, buffer, times):
    ev = LegendreBasisEvaluator(2, 3, 2.0)
    ev.set_dofs([0.5 * i - 1 for i in range(9)])
    assert ev.evaluate_many(buffer) == [ev.evaluate_at(t) for t in times]
    assert ev.evaluate_derivative_many(buffer) == [ev.evaluate_derivative_at(t) for t in times]


def misaligned():
    raw = np.zeros(10, dtype=np.float64)
    return np.frombuffer(raw.data, dtype=np.uint8)[4:68].view(np.float64)


@pytest.mark.parametrize(
    ("make", "exc", "message"),
    [
        (lambda: [0.5], TypeError, "argument 't_values': a bytes-like object is required, not 'list'"),
        (lambda: 0.5, TypeError, "argument 't_values': a bytes-like object is required, not 'float'"),
        (lambda: (ctypes.c_double * 3)(), BufferError, "strides is null"),
        (lambda: np.zeros(3, dtype=np.float32), BufferError, "buffer contents are not compatible with f64"),
        (lambda: b"\0" * 16, BufferError, "buffer contents are not compatible with f64"),
        (lambda: np.zeros(3, dtype=">f8"), BufferError, "buffer contents are not compatible with f64"),
        (lambda: np.zeros(3, dtype=np.int64), BufferError, "buffer contents are not compatible with f64"),
        (lambda: np.zeros(3, dtype=np.complex64), BufferError, "buffer contents are not compatible with f64"),
        (lambda: memoryview(b"\0" * 16).cast("Q"), BufferError, "buffer contents are not compatible with f64"),
        (misaligned, BufferError, "buffer contents are insufficiently aligned for f64"),
    ],
)
def test_buffer_refusals(make, exc, message):
    ev = LegendreBasisEvaluator(1, 2, 2.0)
    obj = make()
    for method in (ev.evaluate_many, ev.evaluate_derivative_many):
        with pytest.raises(exc) as info:
            method(obj)
        assert type(info.value) is exc and str(info.value) == message
    if exc is TypeError:
        assert isinstance(info.value.__cause__, TypeError)
    # Views are released: a bytearray can be resized again afterwards.
    holder = bytearray(16)
    with pytest.raises(BufferError):
        ev.evaluate_many(holder)
    holder.extend(b"x")


def test_buffer_released_after_success():
    holder = bytearray(8 * 4)
    ev = LegendreBasisEvaluator(1, 2, 2.0)
    assert ev.evaluate_many(memoryview(holder).cast("d")) == [0.0] * 4
    holder.extend(b"abc")  # would raise BufferError if a view were still exported


def test_zero_dimensional_array():
    ev = LegendreBasisEvaluator(0, 1, 1.0)
    ev.set_dofs([3.0])
    scalar = np.array(0.5)
    try:
        result = ev.evaluate_many(scalar)
    except BufferError as e:
        assert str(e) == "shape is null"
    else:
        assert result == [3.0]


@pytest.mark.parametrize("n", [0, 1, 2047, 2048, 2049, 10_007])
@pytest.mark.parametrize("degree", [0, 1, 4])
def test_batch_equals_single_bit_for_bit(n, degree):
    rng = random.Random(n * 10 + degree)
    n_t, T = 13, 3.0
    ev = LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs([rng.uniform(-1, 1) for _ in range(n_t * (degree + 1))])
    times = [rng.uniform(-1.0, T + 1.0) for _ in range(n)]
    special = [math.nan, math.inf, -math.inf, 0.0, -0.0, T, 1e308, -1e308, 5e-324]
    times[: len(special)] = special[:n]
    arr = np.array(times, dtype=np.float64)
    values = [ev.evaluate_at(t) for t in times]
    slopes = [ev.evaluate_derivative_at(t) for t in times]
    assert_bits_equal(ev.evaluate_many(arr), values)
    assert_bits_equal(ev.evaluate_derivative_many(arr), slopes)
    assert_bits_equal(ev.evaluate(arr).tolist(), values)
    assert_bits_equal(ev.evaluate(arr, derivative=1).tolist(), slopes)


class CallsBack:
    """A DOF whose conversion to float calls back into the evaluator."""

    def __init__(self, ev, seen):
        self.ev, self.seen = ev, seen

    def __float__(self):
        for call in (
            lambda: self.ev.evaluate_at(0.5),
            lambda: self.ev.evaluate_derivative_at(0.5),
            lambda: self.ev.evaluate_many(np.zeros(2)),
            lambda: self.ev.evaluate_derivative_many(np.zeros(2)),
            lambda: self.ev.set_dofs([0, 0, 0, 0]),
        ):
            try:
                call()
            except RuntimeError as e:
                self.seen.append(str(e))
        return 7.0


def test_calls_during_set_dofs_conversion_are_refused(linear):
    seen = []
    linear.set_dofs([CallsBack(linear, seen), 2, 3, 4])
    assert seen == ["Already mutably borrowed"] * 4 + ["Already borrowed"]
    assert linear.evaluate_at(0.5) == 7.0


@pytest.mark.parametrize(
    ("degree", "run"),
    [
        (3, lambda ev, times: ev.evaluate_many(times)),
        # The array path is fast; a high derivative order of a high degree keeps it busy.
        (40, lambda ev, times: ev.evaluate(times, derivative=6).tolist()),
    ],
    ids=["evaluate_many", "evaluate"],
)
def test_borrow_conflicts_with_a_running_batch(degree, run):
    ev = LegendreBasisEvaluator(degree, 1000, 1.0)
    dofs = [((i * 37) % 11) / 11.0 for i in range(1000 * (degree + 1))]
    ev.set_dofs(dofs)
    times = np.random.default_rng(1).uniform(0, 1, 4_000_000)
    started, finished = threading.Event(), threading.Event()
    results = {}

    def batch():
        started.set()
        results["batch"] = run(ev, times)
        finished.set()

    worker = threading.Thread(target=batch)
    worker.start()
    started.wait()
    refused = single = 0
    while not finished.is_set():
        try:
            ev.set_dofs(dofs)  # same values: a success before the batch borrows changes nothing
        except RuntimeError as e:
            assert str(e) == "Already borrowed"
            refused += 1
            assert ev.evaluate_at(0.25) == ev.evaluate_at(0.25)
            single += 1
        time.sleep(0.001)
    worker.join()
    assert refused > 0 and single > 0
    assert results["batch"][:5] == run(ev, times[:5])


def test_other_threads_run_during_a_batch():
    ev = LegendreBasisEvaluator(3, 1000, 1.0)
    times = np.random.default_rng(2).uniform(0, 1, 3_000_000)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    t = threading.Thread(target=ticker)
    t.start()
    time.sleep(0.01)
    begin = time.perf_counter()
    for _ in range(3):
        ev.evaluate_many(times)
    end = time.perf_counter()
    stop.set()
    t.join()
    assert sum(begin < tick < end for tick in ticks) >= 3


POOL_SCRIPT = r"""
import array, os, sys
import quorvel
def tasks():
    return len(os.listdir('/proc/self/task'))
ev = quorvel.LegendreBasisEvaluator(1, 4, 1.0)
before = tasks()
ev.evaluate_many(array.array('d', [0.5] * int(sys.argv[1])))
after_first = tasks()
os.environ['RAYON_NUM_THREADS'] = '7'
ev.evaluate_many(array.array('d', [0.5] * 5000))
print(before, after_first, tasks())
"""


def pool_threads(n_times, env):
    clean = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    clean.update(env)
    out = subprocess.run(
        [sys.executable, "-c", POOL_SCRIPT, str(n_times)], env=clean, capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 0, out.stderr
    before, after_first, after_second = map(int, out.stdout.split())
    return after_first - before, after_second - before


def cpu_quota():
    """The control group's CPU limit in whole CPUs, or None (v2 cpu.max, v1 cfs files)."""
    for line in open("/proc/self/cgroup").read().splitlines():
        hierarchy, controllers, path = line.split(":", 2)
        if hierarchy == "0":
            candidates = [f"/sys/fs/cgroup{path}/cpu.max"]
        elif "cpu" in controllers.split(","):
            candidates = [f"/sys/fs/cgroup/{controllers}{path}", f"/sys/fs/cgroup/cpu{path}"]
        else:
            continue
        for base in candidates:
            try:
                if base.endswith("cpu.max"):
                    quota, period = open(base).read().split()
                else:
                    quota = open(base + "/cpu.cfs_quota_us").read().strip()
                    period = open(base + "/cpu.cfs_period_us").read().strip()
            except OSError:
                continue
            if quota not in ("max", "-1"):
                return max(1, int(quota) // int(period))
    return None


def test_default_pool_size_is_affinity_within_quota():
    expected = len(os.sched_getaffinity(0))
    quota = cpu_quota()
    if quota is not None:
        expected = min(expected, quota)
    assert pool_threads(2048, {})[0] == expected


@pytest.mark.parametrize(
    ("env", "expected"),
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+3"}, 3),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, None),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_RS_NUM_CPUS": "0"}, None),
        ({"RAYON_RS_NUM_CPUS": "x"}, None),
        ({"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ],
)
def test_pool_size_from_environment(env, expected):
    first, second = pool_threads(2048, env)
    if expected is None:  # the default count
        expected = pool_threads(2048, {})[0]
    assert first == expected
    assert second == first  # read once, when the pool is built


def test_small_batches_do_not_build_the_pool():
    first, second = pool_threads(2047, {"RAYON_NUM_THREADS": "3"})
    assert first == 0
    assert second == 7  # built by the first large batch, after the variable changed
