#!/usr/bin/env bash
# Builds and installs the module, then runs the C++ tests of the computing core
# and the Python test suite. Fails on the first build or test failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}

# The core's C++ tests use doctest, from Debian's packages.
if [ ! -f /usr/include/doctest/doctest.h ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq && apt-get install -y -qq doctest-dev >/dev/null
    else
        echo "doctest-dev is needed: apt-get install doctest-dev" >&2
        exit 1
    fi
fi

"$PYTHON" -m pip install --quiet ".[test]"

cmake -S . -B build/core-tests -DLUMETRA_CORE_TESTS_ONLY=ON -DLUMETRA_CPP_TESTS=ON >/dev/null
cmake --build build/core-tests --parallel 2
ctest --test-dir build/core-tests --output-on-failure

"$PYTHON" -m pytest tests -q
