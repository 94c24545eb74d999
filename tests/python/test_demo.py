"""The README's first command: the demo runs, its convergence check holds, and it writes a PNG."""

import os
import pathlib
import subprocess
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
DEMO = EXAMPLES / "demo.py"


def run_example(script, tmp_path, *args, timeout):
    """Runs an example as the demo does (plots drawn off screen) and returns what it printed."""
    env = dict(os.environ, MPLBACKEND="Agg", MPLCONFIGDIR=str(tmp_path))
    run = subprocess.run(
        [sys.executable, str(script), *args],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def test_demo_reports_the_expected_orders_and_writes_its_plot(tmp_path):
    plot = tmp_path / "nested" / "demo.png"
    stdout = run_example(DEMO, tmp_path, "--times", "20000", "--output", str(plot), timeout=120)
    assert "Lagrange DOFs, the same function (max difference" in stdout
    assert "observed orders match h^(degree + 1)" in stdout
    assert f"plot written to {plot}" in stdout
    assert plot.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    assert plot.stat().st_size > 20_000  # two panels of curves, not an empty canvas


def test_space_time_example_shows_order_2q_plus_1_and_writes_its_plot(tmp_path):
    plot = tmp_path / "space_time.png"
    stdout = run_example(EXAMPLES / "space_time.py", tmp_path, "--output", str(plot), timeout=120)
    assert "observed orders match h^(2q + 1)" in stdout
    assert plot.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_work_precision_example_prints_its_table_and_draws_its_diagram(tmp_path):
    plot = tmp_path / "work_precision.png"
    stdout = run_example(EXAMPLES / "work_precision.py", tmp_path, "--grid", "12", "--output", str(plot), timeout=300)
    for method in (
        "quorvel dG(3)",
        "quorvel cG(3)",
        "hand-written dG(2), one splu",
        "solve_ivp BDF",
        "solve_ivp Radau",
    ):
        assert method in stdout
    assert "faster than the faster of BDF and Radau" in stdout
    assert plot.read_bytes().startswith(b"\x89PNG\r\n\x1a\n") and plot.stat().st_size > 20_000


def test_finite_element_example_converges_like_h_squared_and_draws_its_plot(tmp_path):
    plot = tmp_path / "heat_fem.png"
    stdout = run_example(EXAMPLES / "heat_fem.py", tmp_path, "--output", str(plot), timeout=300)
    assert "the error falls like h^2" in stdout
    assert plot.read_bytes().startswith(b"\x89PNG\r\n\x1a\n") and plot.stat().st_size > 20_000
