"""Evaluation on a Dask LocalCluster of worker processes: the local bits, the example, a clean shutdown."""

import importlib
import logging
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import quorvel

da = pytest.importorskip("dask.array", reason="dask is not installed (requirements-dev.txt installs it)")
distributed = pytest.importorskip(
    "distributed", reason="distributed is not installed (requirements-dev.txt installs it)"
)
psutil = pytest.importorskip("psutil", reason="psutil (a dependency of distributed) is not installed")

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "distributed_evaluation.py"
N, BLOCKS = 10**6, 8
STEP_TIMEOUT = 120  # seconds for any one step: start, compute, the example, shutdown


def test_two_worker_processes_give_the_local_bits_and_leave_nothing_behind(tmp_path, monkeypatch):
    # The worker processes are spawned with this path, so they too import the example's file target.
    monkeypatch.syspath_prepend(str(EXAMPLE.parent))
    example = importlib.import_module("distributed_evaluation")
    evaluator = quorvel.LegendreBasisEvaluator(4, 37, 2.5)
    evaluator.set_dofs(np.random.default_rng(13).uniform(-1.0, 1.0, evaluator.n_dofs))
    # From before 0 to after T, through the mesh points: exactly reproducible here.
    step = 3.0 / N
    local_times = np.arange(N, dtype=np.float64) * step - 0.25

    children_before = {child.pid for child in psutil.Process().children(recursive=True)}
    with (
        distributed.LocalCluster(
            n_workers=2,
            processes=True,
            threads_per_worker=1,
            dashboard_address=":0",
            silence_logs=logging.ERROR,
            env={"RAYON_NUM_THREADS": "1"},
            timeout=STEP_TIMEOUT,
        ) as cluster,
        distributed.Client(cluster, timeout=STEP_TIMEOUT) as client,
    ):
        pids = set(client.run(os.getpid).values())
        workers = [psutil.Process(pid) for pid in pids]
        assert len(workers) == 2 and os.getpid() not in pids
        assert set(client.run(os.getenv, "RAYON_NUM_THREADS").values()) == {"1"}

        times = da.arange(N, chunks=N // BLOCKS, dtype=np.float64) * step - 0.25
        assert times.numblocks == (BLOCKS,)
        values = da.map_blocks(evaluator.evaluate, times, dtype=np.float64)
        slopes = da.map_blocks(evaluator.evaluate, times, derivative=1, dtype=np.float64)
        futures = client.compute([values, slopes])
        got_values, got_slopes = (future.result(timeout=STEP_TIMEOUT) for future in futures)
        assert got_values.tobytes() == evaluator.evaluate(local_times).tobytes()
        assert got_slopes.tobytes() == evaluator.evaluate(local_times, derivative=1).tobytes()

        # Stored block by block, again and again: each call sends the evaluator anew while the
        # last call's copy may still be being released.
        small = example.time_grid(4000, 1000)
        for repeat in range(8):
            target = example.evaluate_to_file(client, evaluator, small, tmp_path / f"small_{repeat}.npy")
            assert np.load(target.path).tobytes() == evaluator.evaluate(small.compute(scheduler="sync")).tobytes()

        # The example, pointed at this cluster's scheduler, stores its values block by block.
        output = tmp_path / "values.npy"
        run = subprocess.run(
            [sys.executable, str(EXAMPLE), "--scheduler", cluster.scheduler_address]
            + ["--times", str(N), "--chunk", str(N // BLOCKS), "--output", str(output)],
            capture_output=True,
            text=True,
            timeout=STEP_TIMEOUT,
        )
        assert run.returncode == 0, run.stdout + run.stderr
        assert f"on {cluster.scheduler_address}, 2 workers\n" in run.stdout
        assert f"{N:,} times in {BLOCKS} blocks" in run.stdout
        assert f"values written to {output} (8 MB, never whole in one process)" in run.stdout
        assert "values read back: equal to the local evaluation, bit for bit" in run.stdout
        expected = example.interpolant().evaluate(np.arange(N, dtype=np.float64) * (example.T / (N - 1)))
        assert np.load(output).tobytes() == expected.tobytes()

    # Closing the client and the cluster ends both worker processes, within a bounded time.
    _, alive = psutil.wait_procs(workers, timeout=STEP_TIMEOUT)
    assert alive == []
    # What may stay is multiprocessing's resource tracker, which lives as long as this process.
    new_children = [child for child in psutil.Process().children(recursive=True) if child.pid not in children_before]
    assert all("resource_tracker" in " ".join(child.cmdline()) for child in new_children), new_children
