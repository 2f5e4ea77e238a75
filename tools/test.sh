#!/usr/bin/env bash
# Builds the module for Debian's interpreter and for its debug build, then runs
# every test under both, and once more against an AddressSanitizer and
# UndefinedBehaviorSanitizer build; then PyPI's side (tools/test-pypi.sh),
# the release files (tools/wheels.sh), and the interpreter matrix
# (tools/matrix.sh) beside the Windows x64 build under Wine (tools/windows.sh).
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

bash tools/test-pypi.sh
bash tools/wheels.sh

# The Windows leg runs beside the matrix: both spend most of their time in
# one process at a time (a pytest run under Wine, a chroot's build and suite),
# and they share nothing but the two cores. Its output comes whole at the end.
mkdir -p build-windows
bash tools/windows.sh 3.11 3.13 >build-windows/leg.log 2>&1 &
windows_leg=$!
matrix_status=0
bash tools/matrix.sh || matrix_status=$?
windows_status=0
wait "$windows_leg" || windows_status=$?
echo "== tests under Wine: python.org's CPython 3.11 and 3.13 for Windows x64, cross-built (status $windows_status)"
cat build-windows/leg.log
[ "$matrix_status" -eq 0 ] && [ "$windows_status" -eq 0 ]
