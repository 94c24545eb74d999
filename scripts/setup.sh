#!/usr/bin/env bash
# Set-up on a fresh Debian machine: system packages, a CPython >= 3.13
# virtual environment in .venv, and the Python packages used by tests,
# benchmarks and the demo. Safe to run again: finished steps are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
[ -f /usr/include/eigen3/Eigen/Core ] || need_apt+=(libeigen3-dev)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v g++ >/dev/null || need_apt+=(g++)
command -v make >/dev/null || need_apt+=(make)
# A real browser for the check of the documentation site (tests/docs_site).
command -v chromium >/dev/null || need_apt+=(chromium)
command -v chromedriver >/dev/null || need_apt+=(chromium-driver)
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "setup: installing ${need_apt[*]} with apt-get"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

is_recent_python() {
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 13) else 1)' >/dev/null 2>&1
}

find_python() {
  local candidate
  for candidate in "${QUORVEL_PYTHON:-}" python3.13 python3.14 python3.15 python3; do
    [ -n "$candidate" ] || continue
    if command -v "$candidate" >/dev/null 2>&1 && is_recent_python "$candidate"; then
      command -v "$candidate"
      return 0
    fi
  done
  # pyenv installs that are not selected as the global version
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3 /usr/local/bin/python3.1[3-9] /usr/bin/python3.1[3-9]; do
    if [ -x "$candidate" ] && is_recent_python "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

if [ ! -x .venv/bin/python ] || ! is_recent_python .venv/bin/python; then
  if ! python=$(find_python); then
    echo "setup: no CPython 3.13 or later found; install one, or point QUORVEL_PYTHON at it" >&2
    exit 1
  fi
  echo "setup: creating .venv with $python"
  rm -rf .venv
  "$python" -m venv .venv
fi

stamp=.venv/.requirements-installed
if [ ! -f "$stamp" ] || ! cmp -s requirements-dev.txt "$stamp"; then
  echo "setup: installing Python packages into .venv"
  .venv/bin/python -m pip install -qq --upgrade pip
  .venv/bin/python -m pip install -qq -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi
