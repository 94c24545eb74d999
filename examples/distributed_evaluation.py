"""An expansion in time evaluated by a Dask cluster at millions of times, stored block by block
============================================================================================

The times are a chunked ``dask.array``; every block is evaluated by
``LegendreBasisEvaluator.evaluate`` in a worker process (the evaluator travels
there by pickle, DOFs and all, once to each worker) and written straight into
its own slice of a ``.npy`` file, so no process ever holds the whole result.
Without ``--scheduler`` the script starts a ``distributed.LocalCluster`` of worker
processes on this machine; with ``--scheduler tcp://HOST:8786`` the same code
runs on that cluster's workers, which must see the output path (a shared file
system) and, like the scheduler, have quorvel installed.

Run with `python examples/distributed_evaluation.py [--scheduler ADDRESS]
[--workers N] [--times N] [--chunk N] [--output PATH]`.
"""

import argparse
import importlib
import logging
import os
import pathlib
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
import scipy.sparse
from distributed import Client, LocalCluster

import quorvel

T = 1.0
DEGREE, N_T = 3, 1000
Vector = npt.NDArray[np.float64]


class NpyFile:
    """A float64 `.npy` file that `dask.array.store` fills block by block, from any process that sees it.

    The target travels to the workers as its path, shape and header size. A
    block of a one-dimensional file is one byte range, written with `os.pwrite`;
    other blocks go through a memory map of the file.
    """

    def __init__(self, path: pathlib.Path, shape: tuple[int, ...]) -> None:
        self.path = str(path)
        self.shape = shape
        self.dtype = np.dtype(np.float64)
        self.ndim = len(shape)
        # The header and a sparse file of the full size; the blocks fill it in.
        self.offset = np.lib.format.open_memmap(self.path, mode="w+", dtype=self.dtype, shape=shape).offset

    def __setitem__(self, key: Any, block: Vector) -> None:
        if self.ndim == 1 and isinstance(key, tuple) and len(key) == 1 and isinstance(key[0], slice):
            start, stop, step = key[0].indices(self.shape[0])
            if step == 1 and np.shape(block) == (max(stop - start, 0),):
                data = memoryview(np.ascontiguousarray(block, dtype=self.dtype)).cast("B")
                position = self.offset + start * self.dtype.itemsize
                descriptor = os.open(self.path, os.O_WRONLY)
                try:
                    while data:  # one call writes at most about 2 GiB
                        written = os.pwrite(descriptor, data, position)
                        data, position = data[written:], position + written
                finally:
                    os.close(descriptor)
                return
        mapped = np.load(self.path, mmap_mode="r+")
        mapped[key] = block
        del mapped  # unmaps; the page cache writes the file back


def f(t: Vector) -> Vector:
    return np.exp(-t) * np.sin(6.0 * np.pi * t)


def interpolant(degree: int = DEGREE, n_t: int = N_T) -> quorvel.LegendreBasisEvaluator:
    """The continuous piecewise interpolant of f at the Lagrange points, in the Legendre basis."""
    nodes = np.array(quorvel.get_lagrange_points(degree, n_t, T))
    rows, cols, values = quorvel.lagrange_to_legendre_basis_transformation(degree, n_t)
    to_legendre = scipy.sparse.csr_array((values, (rows, cols)), shape=((degree + 1) * n_t, n_t * degree + 1))
    evaluator = quorvel.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(to_legendre @ f(nodes))
    return evaluator


def time_grid(n: int, chunk: int) -> da.Array:
    """n equidistant times from 0 to T; time i is exactly `i * (T / (n - 1))` wherever it is computed."""
    times: da.Array = da.arange(n, chunks=chunk, dtype=np.float64) * (T / max(n - 1, 1))
    return times


def evaluate_to_file(
    client: Client, evaluator: quorvel.LegendreBasisEvaluator, times: da.Array, path: pathlib.Path
) -> NpyFile:
    """Evaluates at every time on the client's workers, each block written into its slice of the file."""
    # One copy of the evaluator (its DOFs included) to each worker, rather than one in every task. A key
    # of its own (hash=False): a content-hashed key could meet the same key still being released by an
    # earlier call, and the tasks would lose their evaluator.
    remote = client.scatter(evaluator, broadcast=True, hash=False)
    values = da.map_blocks(quorvel.LegendreBasisEvaluator.evaluate, remote, times, dtype=np.float64)
    target = NpyFile(path, values.shape)
    # The blocks go to disjoint slices of the file, so they need no lock.
    values.store(target, lock=False, scheduler=client)
    return target


@contextmanager
def connect(scheduler: str | None, workers: int) -> Iterator[Client]:
    """A client of the scheduler at that address, or of a new LocalCluster of worker processes."""
    if scheduler is not None:
        with Client(scheduler) as client:
            yield client
        return
    # One thread per worker process, and a worker pool of one thread inside it:
    # the processes share out the cores instead of each running a pool as wide
    # as the machine.
    with (
        LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",  # any free port, or none without bokeh
            silence_logs=logging.ERROR,
            env={"RAYON_NUM_THREADS": "1"},
        ) as cluster,
        Client(cluster) as client,
    ):
        yield client


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def main() -> int:
    # The script's own path; runners that define no __file__ (the gallery of the documentation) set it too.
    default_output = pathlib.Path(sys.argv[0]).resolve().parent.parent / "build" / "distributed_values.npy"
    parser = argparse.ArgumentParser(
        description=__doc__.partition("\n")[0], formatter_class=argparse.ArgumentDefaultsHelpFormatter
    )
    parser.add_argument("--scheduler", help="address of a running Dask scheduler; none starts a LocalCluster")
    parser.add_argument("--workers", type=positive, default=2, help="worker processes of the LocalCluster")
    parser.add_argument("--times", type=positive, default=2 * 10**7, help="number of evaluation times")
    parser.add_argument("--chunk", type=positive, default=25 * 10**5, help="times per block")
    parser.add_argument("--output", type=pathlib.Path, default=default_output, help="the .npy file of the values")
    args = parser.parse_args()

    evaluator = interpolant()
    times = time_grid(args.times, args.chunk)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    with connect(args.scheduler, args.workers) as client:
        where = args.scheduler or "a new LocalCluster"
        n_workers = len(client.scheduler_info(n_workers=-1)["workers"])
        print(f"{evaluator!r} on {where}, {n_workers} worker{'s' if n_workers != 1 else ''}")
        client.run(importlib.import_module, "quorvel")  # imported before the clock starts
        start = time.perf_counter()
        evaluate_to_file(client, evaluator, times, args.output)
        elapsed = time.perf_counter() - start
    print(
        f"{args.times:,} times in {times.numblocks[0]} blocks: {elapsed:.2f} s, "
        f"{args.times / elapsed / 1e6:.1f} million times per second"
    )
    stored = np.load(args.output, mmap_mode="r")
    print(f"values written to {args.output} ({stored.nbytes / 1e6:,.0f} MB, never whole in one process)")

    # A few values read back, the first, the last and some between, against the evaluator in this process.
    between = np.random.default_rng(7).integers(0, args.times, 6)
    indices = np.unique(np.concatenate([[0, args.times - 1], between]))
    times_checked = indices * (T / max(args.times - 1, 1))
    local = evaluator.evaluate(times_checked)
    same = stored[indices].tobytes() == local.tobytes()
    print(f"{indices.size} values read back: {'equal' if same else 'NOT equal'} to the local evaluation, bit for bit")
    print(f"max |f - f_h| at those times: {np.max(np.abs(local - f(times_checked))):.1e}")
    return 0 if same else 1


if __name__ == "__main__":
    # Exits only on failure, so that a run inside another program (the gallery of the
    # documentation) goes on after a success.
    if main() != 0:
        raise SystemExit(1)
