"""10^8 times on a LocalCluster of 1 and of 2 worker processes, stored block by block in a .npy file.

Run with `make bench` (in a process of its own: the cluster's worker processes
are spawned, and re-import the main script). Every worker process runs one
task thread with a worker pool of one thread (RAYON_NUM_THREADS=1), so one
worker uses one core and two use two: the speed-up is the one the cluster adds
over one process doing the same work. A loop over the same blocks in one
process without Dask is printed beside them for reference, and so are the
cores that the workers kept busy and the machine's load average, which tell a
slow run on shared cores from a slow cluster. The figures are medians of
repeats measured in the same run; the speed-up is printed with its target and
PASS or MISS.
"""

import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import psutil

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import distributed_evaluation as example

N, CHUNK, REPEATS = 10**8, 5 * 10**6, 5
SPEEDUP_TARGET = 1.6

# The same blocks, evaluated and written by one process with a pool of one thread.
LOOP_SCRIPT = r"""
import sys, time
import numpy as np
import distributed_evaluation as example
n, chunk, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
evaluator, step = example.interpolant(), example.T / (n - 1)
target = example.NpyFile(path, (n,))
evaluator.evaluate(np.arange(chunk) * step)
start = time.perf_counter()
for begin in range(0, n, chunk):
    end = min(begin + chunk, n)
    target[begin:end] = evaluator.evaluate(np.arange(begin, end, dtype=np.float64) * step)
print(time.perf_counter() - start)
"""


def cpu_seconds(processes: list[psutil.Process]) -> float:
    return sum(sum(process.cpu_times()[:2]) for process in processes)


def cluster_runs(directory: pathlib.Path) -> dict[int, list[tuple[float, float]]]:
    """(wall seconds, cores kept busy by the workers) of every run, for 1 and for 2 workers.

    Both clusters stay up and take turns, so that a change in the machine's
    load meets both alike.
    """
    evaluator = example.interpolant()
    times = example.time_grid(N, CHUNK)
    path = directory / "values.npy"
    picks = np.array([0, N // 3, N - 1])
    runs: dict[int, list[tuple[float, float]]] = {1: [], 2: []}
    with example.connect(None, 1) as one, example.connect(None, 2) as two:
        clients = {1: one, 2: two}
        processes = {n: [psutil.Process(pid) for pid in clients[n].run(os.getpid).values()] for n in clients}
        for workers, client in clients.items():
            assert len(processes[workers]) == workers
            # The workers import quorvel and build their pools before the clock starts.
            example.evaluate_to_file(client, evaluator, example.time_grid(CHUNK * workers, CHUNK), path)
        for repeat in range(REPEATS):
            for workers in (1, 2) if repeat % 2 == 0 else (2, 1):
                path.unlink()
                cpu, start = cpu_seconds(processes[workers]), time.perf_counter()
                example.evaluate_to_file(clients[workers], evaluator, times, path)
                wall = time.perf_counter() - start
                runs[workers].append((wall, (cpu_seconds(processes[workers]) - cpu) / wall))
                stored = np.load(path, mmap_mode="r")
                assert stored[picks].tobytes() == evaluator.evaluate(picks * (example.T / (N - 1))).tobytes()
                del stored
    return runs


def loop_seconds(directory: pathlib.Path) -> list[float]:
    env = {"RAYON_NUM_THREADS": "1", "PYTHONPATH": ":".join(sys.path)}
    samples = []
    for i in range(REPEATS):
        path = directory / f"loop_{i}.npy"
        run = subprocess.run(
            [sys.executable, "-c", LOOP_SCRIPT, str(N), str(CHUNK), str(path)],
            capture_output=True,
            text=True,
            check=True,
            env=env,
        )
        samples.append(float(run.stdout))
        path.unlink()
    return samples


def main() -> None:
    print(f"{N:,} times in blocks of {CHUNK:,}, evaluated and stored in a .npy file (medians of {REPEATS})")
    load_before = os.getloadavg()[0]
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as name:
        directory = pathlib.Path(name)
        loop = statistics.median(loop_seconds(directory))
        runs = cluster_runs(directory)
    print(f"  {'one process, no Dask':<26}{loop:7.2f} s  {N / loop / 1e6:6.1f} million times/s")
    wall = {}
    for workers, samples in runs.items():
        wall[workers] = statistics.median(seconds for seconds, _ in samples)
        busy = statistics.median(cores for _, cores in samples)
        label = f"LocalCluster, {workers} worker{'s' if workers > 1 else ''}"
        print(
            f"  {label:<26}{wall[workers]:7.2f} s  {N / wall[workers] / 1e6:6.1f} million times/s, {busy:4.2f} cores busy"
        )
    print(f"  load average {load_before:.1f} before, {os.getloadavg()[0]:.1f} after, on {os.cpu_count()} CPUs")
    speedup = wall[1] / wall[2]
    verdict = "PASS" if speedup >= SPEEDUP_TARGET else "MISS"
    print(f"  speed-up of 2 workers over 1: {speedup:4.2f}x (target >= {SPEEDUP_TARGET}x) {verdict}")


if __name__ == "__main__":
    main()
