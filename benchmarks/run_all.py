"""Runs every benchmark: the Python ones here and the C++ batch throughput harness."""

import pathlib
import runpy
import subprocess
import sys

here = pathlib.Path(__file__).parent
for script in (
    "bench_evaluate.py",
    "bench_expansion.py",
    "bench_lagrange.py",
    "bench_set_dofs.py",
    "bench_solvers.py",
    "bench_sparse_arrays.py",
):
    print(f"== {script}")
    runpy.run_path(str(here / script), run_name="__main__")
# In a process of its own: the cluster's worker processes are spawned and re-import the main script.
print("== bench_distributed.py")
sys.stdout.flush()
subprocess.run([sys.executable, str(here / "bench_distributed.py")], check=True)
harness = here.parent / "build" / "batch_throughput"
if harness.exists():
    print("== batch_throughput (C++)")
    sys.stdout.flush()
    subprocess.run([str(harness), "11"], check=True)
