#!/usr/bin/env bash
# Packaging checks, as a new user meets the package: build a wheel and an
# sdist with the given interpreter, install each into a fresh virtual
# environment, and there run the typed API tour (which asserts as it goes),
# the examples (the Dask one with Dask from PyPI), mypy --strict over
# examples/ and the tour, and stubtest against the installed module.
#
# Usage: bash .ci/packaging.sh PYTHON     e.g. bash .ci/packaging.sh python3.12
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

py=${1:?usage: packaging.sh PYTHON}
work=$(mktemp -d "${TMPDIR:-/tmp}/kordal-packaging.XXXXXX")
trap 'rm -rf "$work"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1

"$py" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q build

echo "== wheel and sdist ($("$py" --version))"
"$work/tools/bin/python" -m pip wheel -q --no-deps -w "$work/dist" .
"$work/tools/bin/python" -m build -q --sdist -o "$work/dist" . >/dev/null
ls "$work/dist"

# Checks run from an empty directory, so only the installed module is found.
check_install() {
  local name=$1 artifact=$2 env="$work/env-$1"
  echo "== fresh environment from the $name"
  "$py" -m venv "$env"
  "$env/bin/python" -m pip install -q "$artifact"
  mkdir -p "$work/run-$name"
  (cd "$work/run-$name" && "$env/bin/python" "$root/tests/typing/api_usage.py")
}

check_install wheel "$(ls "$work"/dist/*.whl)"
check_install sdist "$(ls "$work"/dist/*.tar.gz)"

env="$work/env-wheel"
"$env/bin/python" -m pip install -q mypy 'dask[bag]'
cd "$work/run-wheel"
echo "== stubtest"
"$env/bin/python" -m mypy.stubtest kordal_python
echo "== mypy --strict over examples/ and the API tour"
"$env/bin/python" -m mypy --strict --no-incremental "$root/examples" "$root/tests/typing/api_usage.py"
echo "== examples against the installed wheel"
for ex in "$root"/examples/*.py; do
  echo "-- $(basename "$ex")"
  "$env/bin/python" "$ex" >"$work/example.out"
  tail -n 3 "$work/example.out"
done
echo "packaging: all checks passed"
