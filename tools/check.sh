#!/usr/bin/env bash
# The quick check of the edit-build-test loop: sets up build/ for Debian's
# /usr/bin/python3 once, then `meson test -C build` builds the module and the
# test helper and runs the suite (about a minute on a quiet machine).
# Arguments go to pytest:
#
#   tools/check.sh                       # the whole host suite
#   tools/check.sh tests/test_send.py -k texts
#
# It installs nothing: run tools/install-deps.sh once (as root), or the full
# run, tools/test.sh, which also covers the debug interpreter, the sanitizers,
# PyPI's dependencies and the other interpreters.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f build/build.ninja ]; then
    meson setup build -Dpython=/usr/bin/python3 -Dwerror=true
fi
if [ "$#" -gt 0 ]; then
    exec meson test -C build --test-args "$(printf "%q " "$@")"
fi
exec meson test -C build
