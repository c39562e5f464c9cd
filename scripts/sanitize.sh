#!/usr/bin/env bash
# Builds the core's C++ tests and the module with AddressSanitizer and
# UndefinedBehaviorSanitizer, stopping at the first report, and runs the C++
# tests and the whole Python suite against that build. Fails on any report.
#
# The module goes into its own virtual environment (build/sanitize/venv), so
# the environment of PYTHON keeps its ordinary build.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/install.sh
PYTHON=${PYTHON:-python3}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
# The leak loops at 10**3 calls per entry point (the main run holds 10**5):
# here they look for faults, not for slow growth.
export LUMETRA_LEAK_ITERATIONS=${LUMETRA_LEAK_ITERATIONS:-1000}

# float-cast-overflow is not part of GCC's "undefined" group; a double that
# does not fit the integer it is cast to is exactly the kind of input fault
# the boundary must handle. float-divide-by-zero stays off: 0/0 giving NaN is
# part of the metrics. -O0 builds in well under half the time of -O1 and
# hides nothing from the sanitizers.
SANITIZE="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all"
FLAGS="$SANITIZE -fno-omit-frame-pointer -g -O0"

# Leaks: the C++ tests must free everything; the interpreter keeps objects
# alive to its exit by design, so the Python run leaves leaks to the leak loops
# of the suite. A C++ `new` that cannot be served is a report under ASan
# (tests that ask for one are marked and skipped here).
export ASAN_OPTIONS="abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

if [ ! -f /usr/include/doctest/doctest.h ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq && apt-get install -y -qq doctest-dev >/dev/null
    else
        echo "doctest-dev is needed: apt-get install doctest-dev" >&2
        exit 1
    fi
fi

# One build tree for the module and the C++ tests, so the core is compiled once.
echo "== sanitizers: build"
venv=build/sanitize/venv
if [ ! -x "$venv/bin/python" ]; then
    "$PYTHON" -m venv "$venv"
fi
pip_install "$venv/bin/python" --upgrade pip scikit-build-core "numpy>=2"
pip_install "$venv/bin/python" --no-build-isolation -Cbuild-dir=build/sanitize/build \
    -Ccmake.build-type=Debug \
    -Ccmake.define.LUMETRA_CPP_TESTS=ON \
    -Ccmake.define.CMAKE_CXX_FLAGS="$FLAGS" \
    -Ccmake.define.CMAKE_EXE_LINKER_FLAGS="$SANITIZE" \
    -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="$SANITIZE" \
    ".[test,dask]"
compile_installed "$venv/bin/python"

echo "== sanitizers: C++ core tests"
ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=1" ctest --test-dir build/sanitize/build --output-on-failure

echo "== sanitizers: Python suite"
# The runtimes come first in the interpreter, as ASan requires; Python's own
# allocator is bypassed so freed objects and buffers reach ASan's quarantine.
# pytest captures the test process's own stderr, and a report ends that
# process mid-test: reports go to files instead, printed here when there are any.
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
reports=$PWD/build/sanitize/report
rm -f "$reports".*
status=0
ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0:log_path=$reports" UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports" \
    LD_PRELOAD="$preload" PYTHONMALLOC=malloc LUMETRA_SANITIZED=1 \
    "$venv/bin/python" -m pytest tests -q -p no:cacheprovider -n "${LUMETRA_TEST_WORKERS:-auto}" --dist loadfile "$@" || status=$?
if compgen -G "$reports.*" >/dev/null; then
    echo "== sanitizers: reports" >&2
    cat "$reports".* >&2
    # With allocator_may_return_null, an allocation that cannot be served
    # returns null and ASan writes a warning of it; the code under test then
    # raises MemoryError (a fuzzed call asking NumPy for 2**40 results, say),
    # which the tests expect. Such warnings alone are no fault; anything else
    # in a report is.
    if grep -qv '^==[0-9]*==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]* bytes$' "$reports".*; then
        exit 1
    fi
    echo "== sanitizers: only allocations refused as asked (MemoryError raised), no fault" >&2
fi
exit "$status"
