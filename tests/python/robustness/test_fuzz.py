"""The fuzzer of scripts/fuzz.py: every public callable and method under hostile arguments.

A short run here; make test-long runs 10^6 calls. A finding (a crash, an exception the
module never raises on purpose, a PanicException beyond the original surface) fails it.
"""

import os
import pathlib
import re
import subprocess
import sys

import pytest
from conftest import SANITIZED, reliability_log

FUZZER = pathlib.Path(__file__).parents[3] / "scripts" / "fuzz.py"


@pytest.mark.skipif(SANITIZED, reason="libFuzzer's runtime and the preloaded sanitizer runtime do not mix")
@pytest.mark.parametrize(
    "runs", [pytest.param(20_000, id="short"), pytest.param(1_000_000, id="long", marks=pytest.mark.long)]
)
def test_fuzzer_finds_nothing(runs, tmp_path):
    out = subprocess.run(
        [sys.executable, str(FUZZER), f"-runs={runs}", "-seed=20261209"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        timeout=3600,
    )
    assert out.returncode == 0, (out.stdout + out.stderr)[-4000:]
    summary = re.search(r"^fuzz: (\d+) calls in (\d+) s, 0 findings$", out.stdout, re.M)
    assert summary and int(summary.group(1)) == runs, out.stdout[-2000:]
    reliability_log(f"fuzz: {summary.group(1)} calls in {summary.group(2)} s, no findings")
