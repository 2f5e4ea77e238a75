#!/usr/bin/env bash
# The interpreter matrix: builds the module and runs the whole test suite under
# the later CPython versions Debian ships, release and debug, each Debian suite
# in a chroot of its own (trixie: 3.13; sid: 3.13, 3.14, 3.15), and under the
# pyenv interpreters of this machine (3.12.1, 3.13.0; release), each in a venv
# with the test dependencies from PyPI. Run as root.
#
#   tools/matrix.sh [LABEL...] [-- PYTEST-ARGUMENTS...]
#
# LABELs pick runs from the table below (default: all but the opt-in ones),
# for example `tools/matrix.sh sid-3.15 sid-3.15d -- tests/test_module.py`.
# Opt-in: `arm64`, Debian 12's 3.11 in an arm64 chroot under qemu-user
# (Debian's qemu-user-static and binfmt-support on the host; binfmt is left
# as it was found). It takes the better part of an hour cold: run it when a
# change touches the record layout, alignment or byte handling.
#
# What is tested is a fresh clone of the committed HEAD of this checkout,
# never its working tree. The chroots and venvs live outside the repository,
# in MAIN_MATRIX_DIR (default /var/tmp/main-matrix), and are reused by later
# runs: a chroot counts only once its bootstrap has finished, and its package
# installation is repeated (and repaired) on every run. Packages come from the
# Debian mirror the host's apt uses (MAIN_MATRIX_MIRROR overrides it).
# Safe to run twice; mounts are undone on every exit path.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
base=${MAIN_MATRIX_DIR:-/var/tmp/main-matrix}
run_timeout=${MAIN_MATRIX_TIMEOUT:-1200}   # seconds, one build or test run

# label         suite           interpreter
runs=(
    "trixie-3.13  trixie          python3.13"
    "trixie-3.13d trixie          python3.13d"
    "sid-3.14     sid             python3.14"
    "sid-3.14d    sid             python3.14d"
    "sid-3.15     sid             python3.15"
    "sid-3.15d    sid             python3.15d"
    "sid-3.13     sid             python3.13"
    "pyenv-3.12   pyenv           /root/.pyenv/versions/3.12.1/bin/python3.12"
    "pyenv-3.13   pyenv           /root/.pyenv/versions/3.13.0/bin/python3.13"
)
# Runs made only when named.
optional_runs=(
    "arm64        bookworm-arm64  python3.11"
)

# Each chroot: the Debian release, its architecture, the CPython versions it
# installs (each with -dev; with -dbg where it has debug runs: _testcapi comes
# with libpython3.N-stdlib and libpython3.N-dbg) and the time one build or
# test run may take.
declare -A release=([trixie]=trixie [sid]=sid [bookworm-arm64]=bookworm)
declare -A arch=([bookworm-arm64]=arm64)
declare -A versions=([trixie]="3.13" [sid]="3.13 3.14 3.15" [bookworm-arm64]="3.11")
declare -A debug_builds=([trixie]=1 [sid]=1)
declare -A suite_timeout=([bookworm-arm64]=3600)
chroots=(trixie sid bookworm-arm64)

# The pyenv runs' build tools and test dependencies, from PyPI (Debian 12's
# meson cannot introspect 3.12 and later).
pyenv_packages=(meson ninja pytest hypothesis requests loguru trustme cryptography)

common_packages=(
    g++ meson ninja-build pkg-config binutils python3-mesonpy
    python3-requests python3-loguru python3-pytest python3-hypothesis
    python3-trustme python3-cryptography
)

log() { printf '== %s\n' "$*"; }
die() { printf 'matrix.sh: %s\n' "$*" >&2; exit 1; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.0f", b - a }'; }

timings=()
record() {  # record NAME START STATUS
    timings+=("$(printf '%-28s %5s s%s' "$1" "$(elapsed "$2")" "$([ "$3" -eq 0 ] || echo "  (failed: $3)")")")
}
timed() {  # timed NAME COMMAND... : runs the command, records its wall time
    local name=$1 start status=0
    shift
    start=$(now)
    "$@" || status=$?
    record "$name" "$start" "$status"
    return "$status"
}

# --- arguments ---------------------------------------------------------------

selected=()
pytest_args=()
while [ $# -gt 0 ]; do
    case $1 in
        --) shift; pytest_args=("$@"); break ;;
        -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
        *) selected+=("$1"); shift ;;
    esac
done
chosen=()
for entry in "${runs[@]}" "${optional_runs[@]}"; do
    read -r label _ <<<"$entry"
    if [[ " ${selected[*]} " == *" $label "* ]] ||
        { [ ${#selected[@]} -eq 0 ] && [[ " ${runs[*]} " == *" $entry "* ]]; }; then
        chosen+=("$entry")
    fi
done
for label in "${selected[@]}"; do
    printf '%s\n' "${runs[@]}" "${optional_runs[@]}" | grep -q "^$label " || die "unknown run '$label'"
done
[ ${#chosen[@]} -gt 0 ] || die "nothing to run"
suites=$(for entry in "${chosen[@]}"; do read -r _ suite _ <<<"$entry"; echo "$suite"; done | uniq)

[ "$(id -u)" -eq 0 ] || die "run as root (debootstrap, chroot and mount need it)"

# --- the mirror apt uses -----------------------------------------------------

host_mirror() {
    local f=/etc/apt/sources.list.d/debian.sources uri=""
    if [ -f "$f" ]; then
        # deb822 stanzas: the first URI of the first non-security "deb" stanza.
        uri=$(awk 'BEGIN { RS = ""; FS = "\n" }
            { types = uris = suites = ""
              for (i = 1; i <= NF; i++) {
                  if ($i ~ /^Types:/) types = $i
                  if ($i ~ /^URIs:/) { uris = $i; sub(/^URIs:[ \t]*/, "", uris) }
                  if ($i ~ /^Suites:/) suites = $i
              }
              if (types ~ /[ \t]deb([ \t]|$)/ && uris != "" && suites !~ /security/) {
                  split(uris, u, /[ \t]+/); print u[1]; exit
              } }' "$f")
    fi
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
        uri=$(awk '$1 == "deb" && $0 !~ /security/ {
                for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
    fi
    printf '%s' "$uri"
}
mirror=${MAIN_MATRIX_MIRROR:-$(host_mirror)}
[ -n "$mirror" ] || die "no Debian mirror found in the host's apt sources (set MAIN_MATRIX_MIRROR)"

# --- mounts and processes inside the chroots ---------------------------------

mounts_under() {  # deepest first
    awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

stop_processes_in() {  # processes whose root is the chroot: ours, by id
    local dir pid link
    dir=$(readlink -f "$1")
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        link=$(readlink "/proc/$pid/root" 2>/dev/null) || continue
        if [ "$link" = "$dir" ]; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    done
}

unmount_all() {
    local dir=$1 point
    [ -d "$dir" ] || return 0
    if [ -n "$(mounts_under "$dir")" ]; then
        stop_processes_in "$dir"
    fi
    for point in $(mounts_under "$dir"); do
        umount "$point" 2>/dev/null || umount -l "$point" || true
    done
}

mount_all() {
    local dir=$1
    mount -t proc proc "$dir/proc" &&
        mount --bind /dev "$dir/dev" &&
        mount --bind /dev/pts "$dir/dev/pts" &&
        mount --bind /dev/shm "$dir/dev/shm"
}

# Long steps run as a job of their own (a process group: set -m below) while
# the script waits for them, so that a signal is handled at once (bash defers
# traps while a foreground command runs) and the whole step can be ended.
child=""
waitfor() {
    local status=0
    "$@" </dev/null &
    child=$!
    wait "$child" || status=$?
    child=""
    return "$status"
}

# --- emulation for foreign architectures ----------------------------------------

# What this run changed in the host's binfmt set-up, undone on exit.
binfmt_mounted=0
binfmt_enabled=()

setup_emulation() {  # setup_emulation ARCH: qemu-user for ARCH binaries
    local qemu=qemu-${1/arm64/aarch64} entry
    entry=/proc/sys/fs/binfmt_misc/$qemu
    if [ ! -x "/usr/bin/$qemu-static" ] || ! command -v update-binfmts >/dev/null; then
        log "installing qemu-user-static and binfmt-support"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static binfmt-support >/dev/null \
            || { apt-get update -qq &&
                 DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static binfmt-support >/dev/null; } \
            || return 1
    fi
    if ! mountpoint -q /proc/sys/fs/binfmt_misc; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
        binfmt_mounted=1
    fi
    if [ ! -e "$entry" ] || ! grep -qx enabled "$entry"; then
        update-binfmts --enable "$qemu" || return 1
        binfmt_enabled+=("$qemu")
    fi
}

restore_emulation() {
    local qemu
    for qemu in "${binfmt_enabled[@]}"; do
        update-binfmts --disable "$qemu" || true
    done
    binfmt_enabled=()
    if [ "$binfmt_mounted" = 1 ]; then
        umount /proc/sys/fs/binfmt_misc || true
        binfmt_mounted=0
    fi
}

cleanup() {
    local suite
    trap - EXIT INT TERM
    if [ -n "$child" ]; then
        kill -TERM -- "-$child" 2>/dev/null || true
        sleep 1
        kill -KILL -- "-$child" 2>/dev/null || true
    fi
    for suite in "${chroots[@]}"; do
        unmount_all "$base/$suite"
    done
    restore_emulation
}

# in_suite SUITE [VAR=VALUE...] COMMAND... : a clean environment and a time
# limit, in the suite's chroot, or on the host for the pyenv runs.
in_suite() {
    local suite=$1 limit=$run_timeout
    shift
    local clean=(/usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
                 LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive)
    if [ -n "${arch[$suite]:-}" ]; then
        limit=$((run_timeout * 3))   # emulated
    fi
    if [ "$suite" = pyenv ]; then
        timeout --kill-after=30 "$limit" "${clean[@]}" "$@"
    else
        timeout --kill-after=30 "$limit" chroot "$base/$suite" "${clean[@]}" "$@"
    fi
}

workdir_of() {  # where the clone lives, as seen by in_suite
    if [ "$1" = pyenv ]; then
        printf '%s' "$base/pyenv/main"
    else
        printf '/root/main'
    fi
}

clone_head() {  # clone_head DIR
    rm -rf --one-file-system "$1" &&
        git clone -q --no-checkout --no-hardlinks "$root" "$1" &&
        git -C "$1" checkout -q --detach "$head"
}

# --- the chroots -------------------------------------------------------------

bootstrap() {
    local suite=$1 dir=$base/$1 options=(--variant=minbase) log=$base/logs/debootstrap-$1.log
    unmount_all "$dir"
    if [ -n "$(mounts_under "$dir")" ]; then
        die "$dir still has mounts; not removing it"
    fi
    rm -rf --one-file-system "$dir" || return 1
    if [ -n "${arch[$suite]:-}" ]; then
        options+=(--foreign "--arch=${arch[$suite]}")
    fi
    waitfor debootstrap "${options[@]}" "${release[$suite]}" "$dir" "$mirror" >"$log" 2>&1 \
        || { tail -20 "$log" >&2; return 1; }
    if [ -n "${arch[$suite]:-}" ]; then
        # The first stage only unpacked; the packages configure under emulation.
        waitfor chroot "$dir" /debootstrap/debootstrap --second-stage >>"$log" 2>&1 \
            || { tail -20 "$log" >&2; return 1; }
    fi
    touch "$dir/.main-matrix-bootstrapped"
}

install_packages() {
    local suite=$1 dir=$base/$1 version packages
    packages=("${common_packages[@]}")
    for version in ${versions[$suite]}; do
        packages+=("python$version" "python$version-dev")
        if [ -n "${debug_builds[$suite]:-}" ]; then
            packages+=("python$version-dbg")
        fi
    done
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf" || return 1
    printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d" && chmod +x "$dir/usr/sbin/policy-rc.d" || return 1
    if [ "${release[$suite]}" = sid ]; then
        # Unstable's Release file can be past its Valid-Until date here.
        echo 'Acquire::Check-Valid-Until "false";' >"$dir/etc/apt/apt.conf.d/99main-matrix" || return 1
    fi
    # dpkg and apt-get -f repair what an interrupted earlier run left half done.
    in_suite "$suite" dpkg --configure -a &&
        in_suite "$suite" apt-get update -qq &&
        { in_suite "$suite" apt-get install -y -qq --no-install-recommends "${packages[@]}" ||
          in_suite "$suite" apt-get install -y -qq -f --no-install-recommends "${packages[@]}"; }
}

prepare() {
    local suite=$1 dir=$base/$1
    if [ "$suite" = pyenv ]; then
        log "pyenv: clone of $head"
        mkdir -p "$dir" && clone_head "$dir/main"
        return
    fi
    if [ -n "${arch[$suite]:-}" ]; then
        setup_emulation "${arch[$suite]}" || return 1
    fi
    if [ ! -f "$dir/.main-matrix-bootstrapped" ]; then
        log "$suite: debootstrap (minbase) from the host's mirror"
        timed "debootstrap $suite" bootstrap "$suite" || return 1
    fi
    mount_all "$dir" || return 1
    log "$suite: packages"
    timed "packages $suite" waitfor install_packages "$suite" >"$base/logs/packages-$suite.log" 2>&1 \
        || { tail -30 "$base/logs/packages-$suite.log" >&2; return 1; }
    log "$suite: clone of $head"
    clone_head "$dir/root/main"
}

# A venv of a pyenv interpreter with the test dependencies from PyPI, brought
# up to date on every run.
pyenv_venv() {  # pyenv_venv PYTHON VENV
    if ! "$2/bin/python" -m pip --version >/dev/null 2>&1; then
        rm -rf "$2"                # none yet, or left broken by an interrupted run
        "$1" -m venv "$2" || return 1
    fi
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 \
        "$2/bin/python" -m pip install -q --upgrade "${pyenv_packages[@]}"
}

# --- build and test ------------------------------------------------------------

results=()
total_passed=0 total_failed=0 total_skipped=0 any_failure=0

count() {  # count WORD SUMMARY
    printf '%s' "$2" | grep -oE "[0-9]+ $1" | head -1 | grep -oE '^[0-9]+' || echo 0
}

run_tests() {  # run_tests SUITE LABEL PYTHON LOGFILE
    in_suite "$1" MAIN_BUILD_DIR="build-$2" \
        sh -c 'cd "$0" && exec "$@"' "$(workdir_of "$1")" "$3" -m pytest -q -p no:cacheprovider \
        "${pytest_args[@]:-tests}" 2>&1 | tee -a "$4"
}

run_one() {
    local label=$1 suite=$2 python=$3 logfile status start summary passed failed skipped xfailed errors
    local build_python test_python workdir meson=meson
    logfile=$base/logs/$label.log
    workdir=$(workdir_of "$suite")
    if [ "$suite" = pyenv ]; then
        if [ ! -x "$python" ]; then
            log "$label: skipped, no pyenv interpreter at $python on this machine"
            results+=("$(printf '%-13s %-7s skipped: no %s here' "$label" "$suite" "$python")")
            return 0
        fi
        build_python=$python
        test_python=$base/pyenv/venv-$label/bin/python
        meson=$base/pyenv/venv-$label/bin/meson
        log "$label: venv with the test dependencies from PyPI"
        if ! timed "packages $label" waitfor pyenv_venv "$python" "$base/pyenv/venv-$label" >"$logfile" 2>&1; then
            tail -30 "$logfile"
            results+=("$(printf '%-13s %-7s venv failed' "$label" "$suite")")
            any_failure=1
            return 0
        fi
    else
        build_python=/usr/bin/$python
        test_python=/usr/bin/$python
    fi
    log "$label: build for $build_python"
    if ! timed "build $label" waitfor in_suite "$suite" \
            sh -c "cd '$workdir' && $meson setup build-$label -Dpython=$build_python && ninja -C build-$label" \
            >>"$logfile" 2>&1; then
        tail -40 "$logfile"
        results+=("$(printf '%-13s %-7s build failed' "$label" "$suite")")
        any_failure=1
        return 0
    fi
    log "$label: tests under $test_python"
    status=0
    start=$(now)
    waitfor run_tests "$suite" "$label" "$test_python" "$logfile" || status=$?
    record "tests $label" "$start" "$status"
    summary=$(grep -E '^(=+ )?[0-9]+ (passed|failed|skipped|error|xfailed|deselected)' "$logfile" | tail -1 || true)
    passed=$(count passed "$summary")
    failed=$(count failed "$summary")
    errors=$(count error "$summary")
    skipped=$(count skipped "$summary")
    xfailed=$(count xfailed "$summary")
    failed=$((failed + errors))
    if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
        failed=1   # a crash or a time-out before pytest's summary
    fi
    [ "$status" -eq 0 ] || any_failure=1
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
    total_skipped=$((total_skipped + skipped))
    results+=("$(printf '%-13s %-7s %6s %6s %7s %7s' "$label" "$suite" "$passed" "$failed" "$skipped" "$xfailed")")
}

# --- main ----------------------------------------------------------------------

head=$(git -C "$root" rev-parse HEAD)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    log "note: uncommitted changes are not tested (the matrix clones HEAD $head)"
fi
if ! command -v debootstrap >/dev/null; then
    log "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null \
        || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null; }
fi

mkdir -p "$base/logs"
exec 9>"$base/.lock"
flock 9   # one matrix at a time on this machine
set -m
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
for suite in "${chroots[@]}"; do
    unmount_all "$base/$suite"   # left by an interrupted run
done

started=$(now)
for suite in $suites; do
    if ! prepare "$suite"; then
        results+=("$(printf '%-13s %-7s chroot could not be prepared' "$suite-*" "$suite")")
        any_failure=1
        unmount_all "$base/$suite"
        continue
    fi
    for entry in "${chosen[@]}"; do
        read -r label run_suite python <<<"$entry"
        if [ "$run_suite" = "$suite" ]; then
            run_one "$label" "$suite" "$python"
        fi
    done
    unmount_all "$base/$suite"
done
restore_emulation

echo
log "wall time per stage"
printf '%s\n' "${timings[@]}" "$(printf '%-28s %5s s' "matrix total" "$(elapsed "$started")")"
echo
log "results (HEAD $head)"
printf '%-13s %-7s %6s %6s %7s %7s\n' run suite passed failed skipped xfailed
printf '%s\n' "${results[@]}"
echo "matrix: $total_passed passed, $total_failed failed, $total_skipped skipped"
exit "$any_failure"
