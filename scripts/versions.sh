#!/usr/bin/env bash
# Builds the module and runs the whole Python suite under every CPython from
# 3.10 up that pyenv carries (the newest patch release of each minor version),
# each in its own virtual environment under build/versions/, then once more on
# the oldest of them with the oldest NumPy that pyproject.toml allows (or 1.26
# if that one does not install). Fails on the first build or test failure.
#
#   SKIP_MINOR=3.11   leave out a minor version already run elsewhere
#   PYENV_ROOT        where the interpreters are (default ~/.pyenv)
#
# The leak loops run at 10**3 calls per entry point here (LUMETRA_LEAK_ITERATIONS
# overrides); the main run holds them at 10**5.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export LUMETRA_LEAK_ITERATIONS=${LUMETRA_LEAK_ITERATIONS:-1000}
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

# The computing core compiles the same for every interpreter: with ccache
# (scripts/test.sh installs it in CI) each build after the first reuses it.
if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-ccache}
fi

numpy_floor=$(sed -n 's/^dependencies = .*"numpy>=\([0-9.]*\)".*/\1/p' pyproject.toml)

run_suite() {  # venv label
    echo "== versions: $2: $("$1/bin/python" -c 'import sys, numpy; print("Python", sys.version.split()[0], "NumPy", numpy.__version__)')"
    "$1/bin/python" -m pytest tests -q -p no:cacheprovider -n "${LUMETRA_TEST_WORKERS:-auto}" --dist loadfile
}

# --no-compile: pip would compile every module of every dependency to bytecode
# (a minute per environment); the tests import a small part of them.
oldest=""
for version in "${pythons[@]}"; do
    minor=${version%.*}
    venv=build/versions/$minor
    if [ "$minor" = "$skip" ]; then
        echo "== versions: $minor is run elsewhere"
    else
        echo "== versions: building for Python $version"
        [ -x "$venv/bin/python" ] || "$root/versions/$version/bin/python3" -m venv "$venv"
        "$venv/bin/python" -m pip install --quiet --no-compile --upgrade pip scikit-build-core "numpy>=2"
        # Built against NumPy 2 headers, as the released module is.
        "$venv/bin/python" -m pip install --quiet --no-compile --no-build-isolation -Cbuild-dir="build/versions/$minor-build" ".[test,dask]"
        run_suite "$venv" "Python $minor"
    fi
    [ -n "$oldest" ] || oldest=$minor
done

# The NumPy floor, on the oldest interpreter (built there already unless it
# was skipped, in which case it is built now).
venv=build/versions/$oldest
if [ "$oldest" = "$skip" ]; then
    version=${pythons[0]}
    [ -x "$venv/bin/python" ] || "$root/versions/$version/bin/python3" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --no-compile --upgrade pip scikit-build-core "numpy>=2"
    "$venv/bin/python" -m pip install --quiet --no-compile --no-build-isolation -Cbuild-dir="build/versions/$oldest-build" ".[test,dask]"
fi
echo "== versions: NumPy $numpy_floor (the floor in pyproject.toml) on Python $oldest"
if ! "$venv/bin/python" -m pip install --quiet --no-compile "numpy==$numpy_floor"; then
    echo "== versions: NumPy $numpy_floor does not install here; NumPy 1.26 instead"
    "$venv/bin/python" -m pip install --quiet --no-compile "numpy==1.26.*"
fi
run_suite "$venv" "NumPy floor"
