#!/usr/bin/env bash
# The module for CPython 3.11 on macOS, cross-built on this Debian machine and
# checked without a Mac: a Mach-O bundle for x86-64 and one for arm64, each
# made by meson through the darwin branch of meson.build that a Mac's
# `pip install` of the sdist takes, then tests/test_macos.py on both (file type
# BUNDLE, exports exactly _PyInit_main and _module_is_main_main, C library
# calls bound to libSystem, the rest left to the interpreter). Nothing here
# runs them. Run as root (it installs what it needs; safe to run twice):
#
#   tools/macos.sh            from the checkout
#   tools/macos.sh SDIST      from that sdist (tools/wheels.sh passes its own)
#
# Leaves build-wheels/macos/main.cpython-311-darwin.so (x86-64) and
# build-wheels/macos/arm64/main.cpython-311-darwin.so, both made anew on each
# run, with the build directories and logs beside them.
#
# The road (tools/macos/): zig from PyPI (`ziglang`) compiles for
# x86_64-macos.11.0 or aarch64-macos.11.0 with macOS's C and C++ headers,
# which it carries; Debian's ld64.lld links a true bundle (zig's own Mach-O
# link makes a dylib and ignores the export list), against libSystem.tbd, a
# text stub of the few C symbols the module uses. tools/macos/cxx is both,
# named by the cross files tools/macos/{x86_64,arm64}.ini. CPython's headers
# are Debian's /usr/include/python3.11 with tools/macos/pyconfig.h in place
# of Debian's. meson learns of the interpreter from `python3.11` in
# build-wheels/macos/cpython-3.11/: Debian's /usr/bin/python3 answering with
# the configuration of a macOS CPython 3.11 (a _sysconfigdata module of ours,
# the mechanism CPython's own cross builds use). meson's PEP 739 road
# (-Dpython.build_config=) refuses darwin hosts ("not supported on Darwin",
# meson 1.12). No LTO: zig's clang writes bitcode newer than lld-16 reads.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build-wheels/macos
venv=$root/build-wheels/macos-tools        # zig and meson from PyPI, kept between runs
pins=(ziglang==0.17.1 meson==1.12.1)
arches=(x86_64 arm64)

log() { printf '== %s\n' "$*"; }
die() { printf 'macos.sh: %s\n' "$*" >&2; exit 1; }

sdist=${1:-}
[ -z "$sdist" ] || [ -f "$sdist" ] || die "no sdist at $sdist"
sdist=${sdist:+$(cd "$(dirname "$sdist")" && pwd)/$(basename "$sdist")}

bash "$root/tools/install-deps.sh" macos
export PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1
if ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
    rm -rf "$venv"                             # none yet, or left broken by an interrupted run
    /usr/bin/python3 -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q "${pins[@]}"
zig=$("$venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
lld=$(command -v ld64.lld-16) || die "ld64.lld-16 missing (Debian's lld-16)"

rm -rf "$work"
mkdir -p "$work/logs"

# --- the interpreter's side: headers and configuration ----------------------------

python_dir=$work/cpython-3.11
include=$python_dir/include/python3.11
mkdir -p "$python_dir/include"
cp -rL /usr/include/python3.11 "$include"
cp "$root/tools/macos/pyconfig.h" "$include/pyconfig.h"
# What a macOS CPython 3.11 says of itself where meson asks (sysconfig): where
# its headers are, the file name of its extension modules, and that they do
# not link libpython (they are bundles that take the interpreter's symbols
# from the process).
cat >"$python_dir/_sysconfigdata__darwin_darwin.py" <<EOF
build_time_vars = {
    'ABIFLAGS': '',
    'EXT_SUFFIX': '.cpython-311-darwin.so',
    'SHLIB_SUFFIX': '.so',
    'SOABI': 'cpython-311-darwin',
    'MACHDEP': 'darwin',
    'MACOSX_DEPLOYMENT_TARGET': '11.0',
    'INCLUDEPY': '$include',
    'CONFINCLUDEPY': '$include',
    'LDVERSION': '3.11',
    'VERSION': '3.11',
    'LIBPYTHON': '',
    'Py_DEBUG': 0,
    'Py_ENABLE_SHARED': 0,
    'WITH_PYMALLOC': 1,
}
EOF
cat >"$python_dir/python3.11" <<EOF
#!/bin/sh
# Debian's CPython 3.11, answering sysconfig questions as a macOS build would.
PYTHONPATH='$python_dir' _PYTHON_SYSCONFIGDATA_NAME=_sysconfigdata__darwin_darwin \\
    _PYTHON_HOST_PLATFORM=macosx-11.0-universal2 exec /usr/bin/python3.11 "\$@"
EOF
chmod +x "$python_dir/python3.11"

# The constants the cross files name.
cat >"$work/paths.ini" <<EOF
[constants]
tools = '$root/tools/macos'
zig = '$zig'
lld = '$lld'
EOF

# --- the source: the sdist, as a Mac's pip gets it, or the checkout ------------------

if [ -n "$sdist" ]; then
    mkdir -p "$work/sdist"
    tar -xzf "$sdist" -C "$work/sdist"
    source_dir=$(echo "$work"/sdist/*/)
    log "macOS: from $(basename "$sdist")"
else
    source_dir=$root
    log "macOS: from the checkout"
fi

# --- build each architecture --------------------------------------------------------

for arch in "${arches[@]}"; do
    build=$work/build-$arch
    log "macOS $arch: meson setup and build ($build)"
    if ! PATH="$venv/bin:$PATH" meson setup "$build" "$source_dir" \
            --cross-file "$work/paths.ini" --cross-file "$root/tools/macos/$arch.ini" \
            -Dpython="$python_dir/python3.11" -Dbuildtype=release -Dwerror=true \
            -Db_lto=false -Dtests=false >"$work/logs/setup-$arch.log" 2>&1; then
        tail -30 "$work/logs/setup-$arch.log" >&2
        die "meson setup failed for $arch (log: $work/logs/setup-$arch.log)"
    fi
    if ! ninja -C "$build" >"$work/logs/build-$arch.log" 2>&1; then
        tail -30 "$work/logs/build-$arch.log" >&2
        die "the $arch build failed (log: $work/logs/build-$arch.log)"
    fi
    out=$work
    [ "$arch" = x86_64 ] || out=$work/$arch
    mkdir -p "$out"
    cp "$build/main.cpython-311-darwin.so" "$out/"
done

# --- check both -----------------------------------------------------------------------

log "macOS: tests/test_macos.py on both bundles"
cd "$root"
MAIN_MACOS_BUNDLE=$work/main.cpython-311-darwin.so \
MAIN_MACOS_BUNDLE_ARM64=$work/arm64/main.cpython-311-darwin.so \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/test_macos.py -rs
for arch in "${arches[@]}"; do
    file=$work/main.cpython-311-darwin.so
    [ "$arch" = x86_64 ] || file=$work/$arch/main.cpython-311-darwin.so
    printf '%-8s %-50s %5s KiB\n' "$arch" "${file#"$root"/}" "$(( $(stat -c %s "$file") / 1024 ))"
done
