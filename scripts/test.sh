#!/usr/bin/env bash
# Builds and installs the module, then runs the C++ tests of the computing core,
# the Python test suite (the report rendered in a real browser included) and the
# documentation build. Fails on the first build or test failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/install.sh
PYTHON=${PYTHON:-python3}

# Each step says when it starts and how long it took: the build and the suite
# are minutes of silence otherwise.
step() {  # name, then the command
    local name=$1 TIMEFORMAT
    shift
    echo "== test: $name"
    TIMEFORMAT="== test: $name took %0R s"
    time "$@"
}

# Debian packages the tests need: doctest for the core's C++ tests, Chromium to
# render the HTML report headless. Installed when missing, as root.
missing=()
[ -f /usr/include/doctest/doctest.h ] || missing+=(doctest-dev)
command -v chromium >/dev/null || missing+=(chromium)
can_install() { [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; }
# ccache is wanted, not needed: the computing core compiles to the same objects
# for every interpreter, so the builds of scripts/versions.sh reuse this one's.
wanted=()
command -v ccache >/dev/null || ! can_install || wanted+=(ccache)
debian_install() { apt-get update -qq && apt-get install -y -qq "$@" >/dev/null; }
if [ ${#missing[@]} -gt 0 ] || [ ${#wanted[@]} -gt 0 ]; then
    if can_install; then
        step "install from Debian: ${missing[*]} ${wanted[*]}" debian_install "${missing[@]}" "${wanted[@]}"
    else
        echo "needed from Debian: apt-get install ${missing[*]}" >&2
        exit 1
    fi
fi
use_ccache

# The core's C++ tests are built in the module's tree, so the core compiles once.
step "build and install (the module, the package and the test tools)" \
    pip_install "$PYTHON" -Cbuild-dir=build/main -Ccmake.define.LUMETRA_CPP_TESTS=ON ".[test,report,docs,dask]"
step "compile the installed Python files" compile_installed "$PYTHON"
step "C++ tests" ctest --test-dir build/main --output-on-failure

# One test process per core, a test module to each (a module's fixtures,
# such as the Dask cluster, then start once). LUMETRA_TEST_WORKERS=0 runs the
# suite in this process alone. The report in a real browser runs on its own.
step "Python tests" "$PYTHON" -m pytest tests -q -n "${LUMETRA_TEST_WORKERS:-auto}" --dist loadfile \
    --ignore tests/test_browser.py
step "browser (the report rendered in headless Chromium)" "$PYTHON" -m pytest tests/test_browser.py -q

# The documentation, offline, with every warning an error.
rm -rf build/docs
step "docs" "$PYTHON" -m sphinx -W --keep-going -q -b html docs build/docs
echo "documentation: build/docs/index.html"
