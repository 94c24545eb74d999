#!/usr/bin/env bash
# Builds the sdist in build-wheel/dist (make sdist) as `pip install` does on a
# machine with a C++20 compiler and nothing else: in a fresh virtual
# environment, build requirements (scikit-build-core, CMake, Ninja) from the
# package index, PATH holding only that environment and the compiler with the
# binutils it runs (no system CMake or Ninja), and the installed Eigen out of
# sight. Then proves from the build tree that
# CMake found no Eigen package and that every Eigen header the compiler read
# came from the sdist's own copy, and runs the Python tests and the bit
# comparison with the normal build (build/) against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

sdists=(build-wheel/dist/quorvel-*.tar.gz)
if [ ${#sdists[@]} -ne 1 ] || [ ! -f "${sdists[0]}" ]; then
  echo "check_sdist: expected exactly one sdist in build-wheel/dist (run make sdist)" >&2
  exit 1
fi
sdist=$root/${sdists[0]}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
base_python=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
"$base_python" -m venv "$work/venv"
site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')

# The compiler and what it runs, alone on PATH.
tools=$work/compiler
mkdir -p "$tools"
for tool in c++ g++ as ld ar ranlib; do
  if path=$(command -v "$tool"); then ln -s "$path" "$tools/$tool"; fi
done

# Eigen is hidden by mounting an empty directory over each place it is installed
# in, in a mount namespace of the build's own, so that CMake's search finds
# nothing, as on a machine without it. Where no namespace can be made, CMake
# is told not to search instead; the proof below holds either way.
eigen_places=()
for place in /usr/include/eigen3 /usr/share/eigen3 /usr/lib/cmake/eigen3 /usr/local/include/eigen3 \
  /usr/local/share/eigen3 /usr/share/pkgconfig; do
  [ -d "$place" ] && eigen_places+=("$place")
done
namespace=()
if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
  namespace=(unshare --mount)
elif unshare --mount --map-root-user true 2>/dev/null; then
  namespace=(unshare --mount --map-root-user)
fi
build_options=(-C build-dir="$work/cmake")
if [ ${#namespace[@]} -gt 0 ]; then
  hide='for place in "$@"; do [ "$place" = -- ] && break; mount -t tmpfs -o ro,size=4k tmpfs "$place"; done'
  hide="$hide"'; while [ "$1" != -- ]; do shift; done; shift; exec "$@"'
  runner=("${namespace[@]}" bash -c "$hide" hide "${eigen_places[@]}" --)
  echo "check_sdist: building $(basename "$sdist") with ${eigen_places[*]:-nothing} hidden"
else
  runner=()
  build_options+=(-C cmake.define.CMAKE_DISABLE_FIND_PACKAGE_Eigen3=ON)
  echo "check_sdist: building $(basename "$sdist"); no mount namespace, so CMake is told not to search for Eigen"
fi

if ! "${runner[@]}" env -u CC -u CXX -u CPATH -u CPLUS_INCLUDE_PATH -u CMAKE_PREFIX_PATH -u PYTHONPATH \
  PATH="$work/venv/bin:$tools" CMAKE_BUILD_PARALLEL_LEVEL=2 \
  "$work/venv/bin/python" -m pip install -v --disable-pip-version-check "${build_options[@]}" "$sdist" \
  >"$work/pip.log" 2>&1; then
  cat "$work/pip.log"
  echo "check_sdist: the sdist did not build" >&2
  exit 1
fi
grep -E -- '-- (Eigen|The CXX compiler identification)' "$work/pip.log" | sed 's/^ */check_sdist: cmake: /'

# What CMake found, and every header each object was compiled from.
if grep -E '^Eigen3_DIR:PATH=' "$work/cmake/CMakeCache.txt" | grep -v -- '-NOTFOUND$'; then
  echo "check_sdist: CMake found an installed Eigen" >&2
  exit 1
fi
"$root/.venv/bin/ninja" -C "$work/cmake" -t deps >"$work/deps.txt" 2>"$work/ninja.log"
headers=$(sed -n 's/^ *\(\/.*\)$/\1/p' "$work/deps.txt" | sort -u)
bundled=$(grep -c '/third_party/eigen3/Eigen/' <<<"$headers" || true)
foreign=$(grep -i 'eigen' <<<"$headers" | grep -v '/third_party/eigen3/' || true)
if [ "$bundled" -eq 0 ] || [ -n "$foreign" ]; then
  echo "$foreign"
  echo "check_sdist: expected Eigen headers from the sdist only; read $bundled from it, and the ones above" >&2
  exit 1
fi
echo "check_sdist: the compiler read $bundled Eigen headers, all from the sdist's third_party/eigen3"

echo "check_sdist: bits of every callable, built from the sdist against the normal build"
PYTHONPATH=$site "$root/.venv/bin/python" "$root/scripts/bit_digest.py" "$site" >"$work/sdist.digest"
PYTHONPATH=$root/build "$root/.venv/bin/python" "$root/scripts/bit_digest.py" "$root/build" >"$work/build.digest"
if ! diff "$work/build.digest" "$work/sdist.digest"; then
  echo "check_sdist: results differ in bits from the normal build's (lines above: < build, > sdist)" >&2
  exit 1
fi
echo "check_sdist: Python tests against the module built from the sdist"
cd "$work"
PYTHONPATH=$site "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
