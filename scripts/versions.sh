#!/usr/bin/env bash
# Builds the module and runs the whole Python suite under every CPython from
# 3.10 up that pyenv carries (the newest patch release of each minor version),
# each in its own virtual environment under build/versions/; the oldest of
# them runs on the oldest NumPy that pyproject.toml allows (or 1.26 if that
# one does not install), so one run holds both floors. Fails on the first
# build or test failure.
#
#   SKIP_MINOR="3.11 3.13"  leave out minor versions run elsewhere (the main
#                          run's, the portable wheel's)
#   OLDEST_ONLY=1          only the oldest, on the NumPy floor (CI's choice:
#                          its time does not hold a run of every version)
#   PYENV_ROOT             where the interpreters are (default ~/.pyenv)
#
# The leak loops run at 10**3 calls per entry point here (LUMETRA_LEAK_ITERATIONS
# overrides); the main run holds them at 10**5, and runs the tests marked
# main_run_only, which are skipped here.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/install.sh
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export LUMETRA_LEAK_ITERATIONS=${LUMETRA_LEAK_ITERATIONS:-1000}
# The heavy statistical checks (marked main_run_only) are the main run's.
export LUMETRA_SECONDARY=1
root=${PYENV_ROOT:-$HOME/.pyenv}
skip=${SKIP_MINOR:-}

# Newest patch release per minor version, 3.10 and up, oldest minor first.
mapfile -t pythons < <(
    ls "$root/versions" 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V |
        awk -F. '$2 >= 10 { last[$1 "." $2] = $0; order[$1 "." $2] = $2 }
                 END { for (m in last) print order[m], last[m] }' | sort -n | cut -d' ' -f2
)
if [ "${#pythons[@]}" -eq 0 ]; then
    echo "versions: no CPython 3.10 or newer under $root/versions" >&2
    exit 1
fi

use_ccache

run_suite() {  # venv label
    echo "== versions: $2: $("$1/bin/python" -c 'import sys, numpy; print("Python", sys.version.split()[0], "NumPy", numpy.__version__)')"
    "$1/bin/python" -m pytest tests -q -p no:cacheprovider -n "${LUMETRA_TEST_WORKERS:-auto}" --dist loadfile
}

# Builds and installs the module in the virtual environment of a minor
# version. Built against NumPy 2 headers, as the released module is, but at
# -O1: these runs check the interpreters and NumPy, the optimised build is
# the main run's, and -O1 compiles in half the time with the same results
# (no optimisation level changes floating-point results under the project's
# flags, and the suite compares results bit for bit).
build_for() {  # version minor
    local venv=build/versions/$2
    echo "== versions: building for Python $1"
    [ -x "$venv/bin/python" ] || "$root/versions/$1/bin/python3" -m venv "$venv"
    pip_install "$venv/bin/python" --upgrade pip scikit-build-core "numpy>=2"
    pip_install "$venv/bin/python" --no-build-isolation -Cbuild-dir="build/versions/$2-build" \
        -Ccmake.define.CMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" ".[test,dask]"
    compile_installed "$venv/bin/python"
}

oldest=${pythons[0]%.*}
for version in "${pythons[@]}"; do
    minor=${version%.*}
    if [[ " $skip " == *" $minor "* ]] || { [ "${OLDEST_ONLY:-0}" = 1 ] && [ "$minor" != "$oldest" ]; }; then
        echo "== versions: $minor is run elsewhere"
        [ "$minor" != "$oldest" ] || { echo "versions: the oldest, $minor, holds the NumPy floor run" >&2; exit 1; }
        continue
    fi
    build_for "$version" "$minor"
    if [ "$minor" = "$oldest" ]; then
        numpy_floor_into "build/versions/$minor/bin/python"
        run_suite "build/versions/$minor" "Python $minor on the NumPy floor"
    else
        run_suite "build/versions/$minor" "Python $minor"
    fi
done
