#!/usr/bin/env bash
# Builds the module for Debian's interpreter and for its debug build, then runs
# every test under both, and once more against an AddressSanitizer and
# UndefinedBehaviorSanitizer build; then the Windows x64 build under Wine
# (tools/windows.sh), PyPI's side (tools/test-pypi.sh), the release files
# (tools/wheels.sh) and the interpreter matrix (tools/matrix.sh).
# Safe to run twice.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

setup() {  # setup DIR [meson options...]: `meson test` builds what it runs
    local dir=$1
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        meson setup "$dir" "$@"
    fi
}

setup build -Dpython=/usr/bin/python3 -Dwerror=true
setup build-dbg -Dpython=/usr/bin/python3.11d -Dwerror=true

echo "== tests against the sanitizer build"
bash tools/sanitize.sh

echo "== tests under the debug interpreter"
meson test -C build-dbg

echo "== tests under /usr/bin/python3"
meson test -C build

echo "== tests under Wine: python.org's CPython 3.11 and 3.13 for Windows x64, cross-built"
bash tools/windows.sh 3.11 3.13
bash tools/test-pypi.sh
bash tools/wheels.sh
bash tools/matrix.sh
