#!/usr/bin/env bash
# The suite against an AddressSanitizer and UndefinedBehaviorSanitizer build
# (build-asan/, gcc): this script only makes that build with its options;
# `meson test` preloads the runtime and fails on any report (meson.build).
# On failure it shows what pytest's own process reported at its exit.
#
#   tools/sanitize.sh [pytest arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-asan"

if [ ! -f "$build/build.ninja" ]; then
    meson setup "$build" "$root" -Dpython=/usr/bin/python3 -Dwerror=true -Dbuildtype=debugoptimized \
        -Db_sanitize=address,undefined -Db_lundef=false -Dcpp_args=-fno-omit-frame-pointer
fi
status=0
if [ "$#" -gt 0 ]; then
    meson test -C "$build" --test-args "$(printf "%q " "$@")" || status=$?
else
    meson test -C "$build" || status=$?
fi
if [ "$status" -ne 0 ]; then
    for f in "$build"/sanitizer-logs/*; do
        [ -f "$f" ] && { echo "--- $f" >&2; head -40 "$f" >&2; }
    done
fi
exit "$status"
