#!/bin/sh
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/) and runs the whole test suite against it under Debian's
# /usr/bin/python3 with the sanitizer runtime preloaded. Every process the
# suite starts (fresh interpreters, forked children) writes its reports to a
# log directory; the script fails when the suite fails or any report exists.
#
#   tools/sanitize.sh [pytest arguments...]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-asan"
python=/usr/bin/python3
logs="$build/sanitizer-logs"

if [ ! -f "$build/build.ninja" ]; then
    meson setup "$build" "$root" -Dpython="$python" -Dwerror=true -Dbuildtype=debugoptimized \
        -Db_sanitize=address,undefined -Db_lundef=false -Dcpp_args=-fno-omit-frame-pointer
fi
ninja -C "$build"

rm -rf "$logs"
mkdir -p "$logs"
asan_runtime=$(g++ -print-file-name=libasan.so)

# PYTHONMALLOC=malloc puts every object on the sanitizer's heap, so that
# use-after-free and leaks of objects are seen (the interpreter's own arenas
# hide both). Leaks that belong to the interpreter are suppressed in
# tools/lsan.supp; nothing of the module is. The install test is left out:
# it builds a plain wheel with the system compiler, whose tools would inherit
# the preloaded runtime, and it does not load build-asan at all.
status=0
env LD_PRELOAD="$asan_runtime" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:log_path=$logs/asan:log_exe_name=1:strict_string_checks=1:detect_stack_use_after_return=1" \
    LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan:log_exe_name=1" \
    MAIN_BUILD_DIR="$build" \
    "$python" -m pytest -q -p no:cacheprovider "$root/tests" --ignore="$root/tests/test_install.py" "$@" \
    || status=$?

reports=$(find "$logs" -type f | wc -l)
if [ "$reports" -ne 0 ]; then
    echo "sanitizer reports: $reports (in $logs)" >&2
    for f in "$logs"/*; do
        echo "--- $f" >&2
        head -40 "$f" >&2
    done
    [ "$status" -ne 0 ] || status=1
else
    echo "sanitizer reports: 0"
fi
exit "$status"
