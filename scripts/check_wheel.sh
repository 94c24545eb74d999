#!/usr/bin/env bash
# Checks the wheel in build-wheel/dist (make wheel). First what it is: the
# platform policy that auditwheel finds ($WHEEL_POLICY, manylinux_2_17_x86_64 by
# default), its cp313-abi3 tag with abi3audit's check that the module uses nothing
# outside the stable ABI of 3.13, and the compiler features its compiler gives
# (compiler_probe.cpp).
# Then tries it as a user would: installs it into a fresh
# virtual environment whose PATH holds no compiler or build tool, imports it
# from outside the checkout, then runs the Python tests, the documentation
# examples, stubtest and mypy against the installed copy (with the tools of
# .venv, and the fresh environment's site-packages as the only place to find
# quorvel), and compares the bits of its results with those of the normal build
# in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

wheels=(build-wheel/dist/quorvel-*.whl)
if [ ${#wheels[@]} -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
  echo "check_wheel: expected exactly one wheel in build-wheel/dist (run make wheel)" >&2
  exit 1
fi
wheel=$root/${wheels[0]}
policy=${WHEEL_POLICY:-manylinux_2_17_x86_64}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# auditwheel wraps its report; the verdict is read with the lines joined.
PATH="$root/.venv/bin:$PATH" "$root/.venv/bin/auditwheel" show "$wheel" >"$work/auditwheel.txt" 2>&1
verdict=$(tr -s ' \n' '  ' <"$work/auditwheel.txt" | grep -o 'is consistent with the following platform tag: "[^"]*"' || true)
if [ "$verdict" != "is consistent with the following platform tag: \"$policy\"" ]; then
  cat "$work/auditwheel.txt"
  echo "check_wheel: auditwheel does not find the wheel consistent with $policy" >&2
  exit 1
fi
case "$(basename "$wheel")" in
  *"$policy"*) ;;
  *) echo "check_wheel: $(basename "$wheel") is not tagged $policy" >&2; exit 1 ;;
esac
echo "check_wheel: auditwheel show: $(basename "$wheel") $verdict"

case "$(basename "$wheel")" in
  quorvel-*-cp313-abi3-*) ;;
  *) echo "check_wheel: $(basename "$wheel") is not tagged cp313-abi3" >&2; exit 1 ;;
esac
# --strict: a step abi3audit cannot carry out fails the check instead of passing it by.
if ! COLUMNS=400 "$root/.venv/bin/abi3audit" --strict --summary --assume-minimum-abi3 3.13 "$wheel" >"$work/abi3audit.txt" 2>&1; then
  cat "$work/abi3audit.txt"
  echo "check_wheel: abi3audit finds symbols or versions beyond the stable ABI of 3.13" >&2
  exit 1
fi
echo "check_wheel: abi3audit: $(tr -s ' \n' '  ' <"$work/abi3audit.txt" | sed 's/^.*💁 //')"

# The wheel's compiler, with the flags of the build, on the features the sources
# use or may use.
"$root/scripts/zig-c++" -std=c++20 -O3 -ffp-contract=off -fno-fast-math -Wall -Wextra -Werror \
  -o "$work/compiler_probe" "$root/scripts/compiler_probe.cpp"
probe=0
"$work/compiler_probe" || probe=$?
if [ "$probe" -eq 2 ]; then
  # Zig's runtime leaves the CPU model empty: dispatch must read CPUID itself.
  if grep -rlE 'target_clones|__builtin_cpu_(supports|is|init)' "$root/src"; then
    echo "check_wheel: the sources above dispatch on the compiler runtime's CPU model, which the wheel's" \
      "compiler leaves empty: the wheel would always run the baseline code" >&2
    exit 1
  fi
  echo "check_wheel: note: target_clones and __builtin_cpu_supports pick the baseline code in the wheel; no source uses them"
elif [ "$probe" -ne 0 ]; then
  echo "check_wheel: the wheel's compiler failed the probe" >&2
  exit 1
fi
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

echo "check_wheel: bits of every callable, installed wheel against the normal build"
PYTHONPATH=$site "$root/.venv/bin/python" "$root/scripts/bit_digest.py" "$site" >"$work/wheel.digest"
PYTHONPATH=$root/build "$root/.venv/bin/python" "$root/scripts/bit_digest.py" "$root/build" >"$work/build.digest"
if ! diff "$work/build.digest" "$work/wheel.digest"; then
  echo "check_wheel: the wheel's results differ in bits from the normal build's (lines above: < build, > wheel)" >&2
  exit 1
fi

export PYTHONPATH=$site
echo "check_wheel: Python tests and documentation examples against the installed wheel"
"$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
"$root/.venv/bin/python" -m pytest -q -p no:cacheprovider --doctest-glob='*.md' "$root/README.md" "$root/docs"
echo "check_wheel: stubtest and mypy --strict against the installed stubs"
"$root/.venv/bin/python" -m mypy.stubtest quorvel
"$root/.venv/bin/python" "$root/scripts/doc_examples.py" "$work/doc_examples" "$root/README.md" "$root"/docs/*.md
"$root/.venv/bin/mypy" --strict --config-file "$root/pyproject.toml" --cache-dir "$work/mypy_cache" \
  "$root/examples" "$work/doc_examples" "$root/tests/python/test_stub.py"
