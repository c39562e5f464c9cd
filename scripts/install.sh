# Sourced by the test scripts: builds and installs into an interpreter's
# environment.
#
# pip compiles every module of every dependency to bytecode, one at a time
# (about 45 s per environment here); installing without that and compiling
# on every core afterwards takes about 30 s. The bytecode must be in place
# before the tests: left to the first import, each test process compiles the
# same modules again (under the sanitizer runtime that took minutes).

pip_install() {  # python, then pip's install arguments
    local python=$1
    shift
    "$python" -m pip install --quiet --no-compile "$@"
}

compile_installed() {  # python
    local dirs
    mapfile -t dirs < <("$1" -c 'import sysconfig; print(*sorted({sysconfig.get_path(p) for p in ("purelib", "platlib")}), sep="\n")')
    # -qq and no failure: packages ship sources for other interpreters that do
    # not compile, which pip's own compilation leaves out silently too.
    "$1" -m compileall -qq -j 0 "${dirs[@]}" >/dev/null || true
}

# Builds go through ccache when it is there (scripts/test.sh installs it in
# CI): the computing core compiles to the same objects under every
# interpreter, so each build after the first reuses them.
use_ccache() {
    if command -v ccache >/dev/null; then
        export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-ccache}
    fi
}

# The oldest NumPy pyproject.toml allows, installed over the NumPy 2 a module
# was built against (or 1.26 if the floor does not install for this
# interpreter), so one run holds both floors with the oldest CPython.
numpy_floor_into() {  # python
    local floor
    floor=$(sed -n 's/^dependencies = .*"numpy>=\([0-9.]*\)".*/\1/p' pyproject.toml)
    if ! pip_install "$1" "numpy==$floor"; then
        echo "== NumPy $floor does not install here; NumPy 1.26 instead"
        pip_install "$1" "numpy==1.26.*"
    fi
    compile_installed "$1"
}
