#!/usr/bin/env bash
# The portable wheel as a user without a compiler gets it: built by
# scripts/wheel.sh, installed into a fresh virtual environment whose PATH
# holds no compiler, linker or zig, the Python suite run against it there,
# and its results compared bit for bit with those of the build in PYTHON's
# environment (the GCC build scripts/test.sh installs), by
# scripts/compare_builds.py.
#
#   bash scripts/wheel_test.sh            python3's wheel
#   WHEEL_PYTHON=/path/to/python3.13      the wheel of another CPython (its
#                                         results still compared with PYTHON's)
#   WHEEL=dist/lumetra-...whl             test that wheel instead of building one
#   WHEEL_SUITE=0                         install and compare only
#   NUMPY_FLOOR=1                         run the suite on the oldest NumPy
#                                         pyproject.toml allows (the comparison
#                                         runs first, on the NumPy 2 both builds
#                                         were installed with)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/install.sh
PYTHON=${PYTHON:-python3}
WHEEL_PYTHON=${WHEEL_PYTHON:-$PYTHON}
# Both by path: PATH changes below.
gcc_python=$(command -v "$PYTHON")
WHEEL_PYTHON=$(command -v "$WHEEL_PYTHON")

wheel=${WHEEL:-$(PYTHON=$WHEEL_PYTHON bash scripts/wheel.sh | tail -n 1)}
echo "== wheel: $wheel"

# A PATH of every program this machine has except the compilers and linkers.
nocc=build/wheel-test/bin
rm -rf build/wheel-test
mkdir -p "$nocc"
IFS=: read -ra dirs <<<"$PATH"
for dir in "${dirs[@]}"; do
    [ -d "$dir" ] || continue
    for program in "$dir"/*; do
        name=$(basename "$program")
        case $name in
            cc | c++ | cpp | gcc* | g++* | *-gcc* | *-g++* | clang* | *-clang* | ld | ld.* | *-ld | *-ld.* | \
                as | *-as | zig | ccache | cmake | ninja | make) continue ;;
        esac
        [ -x "$program" ] && [ ! -e "$nocc/$name" ] && ln -s "$program" "$nocc/$name"
    done
done

venv=build/wheel-test/venv
"$WHEEL_PYTHON" -m venv "$venv"
export PATH=$PWD/$venv/bin:$PWD/$nocc
for compiler in cc c++ gcc g++ clang zig ld cmake; do
    if command -v "$compiler" >/dev/null; then
        echo "wheel test: $compiler is still on PATH" >&2
        exit 1
    fi
done
# Only the wheel, never a source build (--only-binary for lumetra itself).
pip_install "$venv/bin/python" --only-binary lumetra "$wheel[test,report,dask]"
compile_installed "$venv/bin/python"
"$venv/bin/python" -c 'import _lumetra, lumetra._kernels as k; print("== wheel: installed", _lumetra.__file__, k.__file__)'

# Results, bit for bit, against the GCC build.
"$venv/bin/python" scripts/compare_builds.py >build/wheel-test/wheel.txt
"$gcc_python" scripts/compare_builds.py >build/wheel-test/gcc.txt
if ! cmp -s build/wheel-test/gcc.txt build/wheel-test/wheel.txt; then
    echo "wheel test: the wheel's results differ from the GCC build's:" >&2
    diff build/wheel-test/gcc.txt build/wheel-test/wheel.txt | head -n 40 >&2
    exit 1
fi
echo "== wheel: $(wc -l <build/wheel-test/wheel.txt) results the same, bit for bit, as the GCC build's"

if [ "${WHEEL_SUITE:-1}" != 0 ]; then
    [ "${NUMPY_FLOOR:-0}" != 1 ] || numpy_floor_into "$venv/bin/python"
    echo "== wheel: suite on $("$venv/bin/python" -c 'import sys, numpy; print("Python", sys.version.split()[0], "NumPy", numpy.__version__)')"
    # The suite imports what the wheel installed; the heavy statistical checks
    # (marked main_run_only) are the main run's, as in the versions runs.
    LUMETRA_SECONDARY=1 LUMETRA_LEAK_ITERATIONS=${LUMETRA_LEAK_ITERATIONS:-1000} "$venv/bin/python" -m pytest tests -q -p no:cacheprovider -n "${LUMETRA_TEST_WORKERS:-auto}" --dist loadfile
fi
