#!/usr/bin/env bash
# Tries the wheel in build-wheel/dist as a user would: installs it into a fresh
# virtual environment whose PATH holds no compiler or build tool, imports it
# from outside the checkout, then runs the Python tests, the documentation
# examples, stubtest and mypy against the installed copy (with the tools of
# .venv, and the fresh environment's site-packages as the only place to find
# quorvel).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

wheels=(build-wheel/dist/quorvel-*.whl)
if [ ${#wheels[@]} -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
  echo "check_wheel: expected exactly one wheel in build-wheel/dist (run make wheel)" >&2
  exit 1
fi
wheel=$root/${wheels[0]}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
base_python=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
"$base_python" -m venv "$work/venv"
site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')

echo "check_wheel: installing $(basename "$wheel") with no build tools on PATH"
cd "$work"
env -i HOME="$work" PATH="$work/venv/bin" CC=false CXX=false \
  "$work/venv/bin/python" -m pip install -q --no-index --no-deps --disable-pip-version-check "$wheel"
env -i HOME="$work" PATH="$work/venv/bin" "$work/venv/bin/python" - "$site" <<'EOF'
import array
import pathlib
import sys

import quorvel

site = pathlib.Path(sys.argv[1])
assert pathlib.Path(quorvel.__file__).parent == site, quorvel.__file__
assert (site / "quorvel-stubs" / "__init__.pyi").is_file()
assert (site / "quorvel-stubs" / "py.typed").is_file()
evaluator = quorvel.LegendreBasisEvaluator(1, 2, 2.0)
evaluator.set_dofs([1.0, 2.0, 3.0, 4.0])
assert evaluator.evaluate_many(array.array("d", [0.5, 1.5] * 2048)) == [1.0, 2.0] * 2048
assert quorvel.get_lagrange_points(2, 2, 1.0) == [0.0, 0.25, 0.5, 0.75, 1.0]
assert quorvel.lagrange_prolongation_matrix(1, 2, 1) == ([0, 1, 1, 2], [0, 0, 1, 1], [1.0, 0.5, 0.5, 1.0])
print(f"check_wheel: import quorvel works from {quorvel.__file__}")
EOF

export PYTHONPATH=$site
echo "check_wheel: Python tests and documentation examples against the installed wheel"
"$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
"$root/.venv/bin/python" -m pytest -q -p no:cacheprovider --doctest-glob='*.md' "$root/README.md" "$root/docs"
echo "check_wheel: stubtest and mypy --strict against the installed stubs"
"$root/.venv/bin/python" -m mypy.stubtest quorvel
"$root/.venv/bin/python" "$root/scripts/doc_examples.py" "$work/doc_examples" "$root/README.md" "$root"/docs/*.md
"$root/.venv/bin/mypy" --strict --cache-dir "$work/mypy_cache" \
  "$root/examples" "$work/doc_examples" "$root/tests/python/test_stub.py"
