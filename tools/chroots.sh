# The Debian chroots of tools/matrix.sh, for the scripts that use them
# (tools/matrix.sh, tools/wheels.sh): what each chroot holds, its bootstrap
# and packages, its mounts, running a command in it, and the lock that lets
# one script at a time use them. Sourced, not run; the sourcing script sets
# `base` (where the chroots live), `run_timeout` (seconds, one command) and,
# before a bootstrap, `mirror` (host_mirror below finds the host's).

# Each chroot: the Debian release, its architecture, the CPython versions it
# installs (each with -dev; with -dbg where it has debug runs: _testcapi comes
# with libpython3.N-stdlib and libpython3.N-dbg) and the time one build or
# test run may take.
declare -A release=([trixie]=trixie [sid]=sid [bookworm-arm64]=bookworm)
declare -A arch=([bookworm-arm64]=arm64)
declare -A versions=([trixie]="3.13" [sid]="3.13 3.14 3.15" [bookworm-arm64]="3.11")
declare -A debug_builds=([trixie]=1 [sid]=1)
declare -A suite_timeout=([bookworm-arm64]=3600)
# Packages of one chroot only: pip builds and installs the arm64 run's wheel.
declare -A suite_packages=([bookworm-arm64]="python3-pip")
chroots=(trixie sid bookworm-arm64)

common_packages=(
    g++ meson ninja-build pkg-config binutils python3-mesonpy
    python3-requests python3-loguru python3-pytest python3-hypothesis
    python3-trustme python3-cryptography python3-responses
)

log() { printf '== %s\n' "$*"; }
die() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; exit 1; }
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

# Suites that run on the host, not in a chroot: pyenv's interpreters, and the
# clang build.
on_host() {
    [ "$1" = pyenv ] || [ "$1" = clang ]
}

# in_suite SUITE [VAR=VALUE...] COMMAND... : a clean environment and a time
# limit, in the suite's chroot, or on the host for the host suites.
in_suite() {
    local suite=$1 limit=$run_timeout
    shift
    local clean=(/usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
                 LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive)
    if [ -n "${arch[$suite]:-}" ]; then
        limit=$((run_timeout * 3))   # emulated
    fi
    if on_host "$suite"; then
        timeout --kill-after=30 "$limit" "${clean[@]}" "$@"
    else
        timeout --kill-after=30 "$limit" chroot "$base/$suite" "${clean[@]}" "$@"
    fi
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

install_packages() {  # install_packages SUITE [EXTRA-PACKAGE...]
    local suite=$1 dir=$base/$1 version packages
    shift
    packages=("${common_packages[@]}" ${suite_packages[$suite]:-} "$@")
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


# ready_chroot SUITE [EXTRA-PACKAGE...]: bootstraps the chroot where it has
# none yet, mounts it and installs (or repairs) its packages.
ready_chroot() {
    local suite=$1 dir=$base/$1
    shift
    if [ -n "${arch[$suite]:-}" ]; then
        setup_emulation "${arch[$suite]}" || return 1
    fi
    if [ ! -f "$dir/.main-matrix-bootstrapped" ]; then
        log "$suite: debootstrap (minbase) from the host's mirror"
        timed "debootstrap $suite" bootstrap "$suite" || return 1
    fi
    mount_all "$dir" || return 1
    log "$suite: packages"
    timed "packages $suite" waitfor install_packages "$suite" "$@" >"$base/logs/packages-$suite.log" 2>&1 \
        || { tail -30 "$base/logs/packages-$suite.log" >&2; return 1; }
}

need_debootstrap() {
    if ! command -v debootstrap >/dev/null; then
        log "installing debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null \
            || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null; }
    fi
}

# take_chroots: waits until no other script uses the chroots, then holds them
# (the lock goes with this process), and undoes mounts an interrupted run left.
take_chroots() {
    local suite
    mkdir -p "$base/logs"
    exec 9>"$base/.lock"
    if ! flock -n 9; then
        log "waiting for the chroots: another run holds $base/.lock"
        flock 9
    fi
    set -m
    trap cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    for suite in "${chroots[@]}"; do
        unmount_all "$base/$suite"   # left by an interrupted run
    done
}
