#!/usr/bin/env bash
# The interpreter matrix: builds the module and runs the whole test suite under
# the later CPython versions Debian ships, release and debug, each Debian suite
# in a chroot of its own (trixie: 3.13; sid: 3.13, 3.14, 3.15), and under the
# pyenv interpreters of this machine (3.12.1, 3.13.0; release), each in a venv
# with the test dependencies from PyPI; and once more on the host, built by
# Debian's clang++ against its libc++ (`clang`: the nearest this machine gets
# to the macOS toolchain). Run as root.
#
#   tools/matrix.sh [LABEL...] [-- PYTEST-ARGUMENTS...]
#
# LABELs pick runs from the table below (default: all but the opt-in ones),
# for example `tools/matrix.sh sid-3.15 sid-3.15d -- tests/test_module.py`.
# Opt-in: `arm64`, Debian 12's 3.11 in an arm64 chroot under qemu-user
# (Debian's qemu-user-static and binfmt-support on the host; binfmt is left
# as it was found). It takes the better part of an hour cold: run it when a
# change touches the record layout, alignment or byte handling. It also makes
# the aarch64 release file, as tools/wheels.sh makes the x86-64 ones: the
# sdist of the tested HEAD, a wheel from it built in the chroot, repaired by
# auditwheel to manylinux_2_17_aarch64, installed into a fresh venv there and
# sending one message through the webhook stand-in; in build-wheels/arm64/.
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
    "clang        clang           python3"
)
# Runs made only when named.
optional_runs=(
    "arm64        bookworm-arm64  python3.11"
)

# The chroots (trixie, sid, bookworm-arm64): what each holds, bootstrap,
# packages, mounts, in_suite, the lock; shared with tools/wheels.sh.
. "$root/tools/chroots.sh"

# The release files' steps (tools, sdist, repair, library check, stand-in,
# send check), shared with tools/wheels.sh.
. "$root/tools/release.sh"

# Runs that also make a wheel, and the platform tag it is repaired to: the
# lowest aarch64 has (glibc 2.17 is aarch64's first).
declare -A wheel_plat=([arm64]=manylinux_2_17_aarch64)

# The pyenv runs' build tools and test dependencies, from PyPI (Debian 12's
# meson cannot introspect 3.12 and later).
pyenv_packages=(meson ninja pytest hypothesis requests loguru trustme cryptography responses)

# --- arguments ---------------------------------------------------------------

selected=()
pytest_args=()
while [ $# -gt 0 ]; do
    case $1 in
        --) shift; pytest_args=("$@"); break ;;
        -h|--help) sed -n '2,28p' "$0"; exit 0 ;;
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

mirror=${MAIN_MATRIX_MIRROR:-$(host_mirror)}
[ -n "$mirror" ] || die "no Debian mirror found in the host's apt sources (set MAIN_MATRIX_MIRROR)"

# --- the clones ----------------------------------------------------------------

workdir_of() {  # where the clone lives, as seen by in_suite
    if on_host "$1"; then
        printf '%s' "$base/$1/main"
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

prepare() {
    local suite=$1 dir=$base/$1
    if on_host "$suite"; then
        log "$suite: clone of $head"
        mkdir -p "$dir" && clone_head "$dir/main"
        return
    fi
    ready_chroot "$suite" || return 1
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

# --- a release file ---------------------------------------------------------------

# make_wheel LABEL SUITE PYTHON PLAT: the sdist of HEAD (the chroot's clone),
# a wheel from it built by the chroot's PYTHON with Debian's meson-python,
# repaired on the host by auditwheel (which reads the chroot's C library),
# then installed into a fresh venv in the chroot, with Debian's requests and
# loguru, to send one message through the stand-in. Files in
# build-wheels/LABEL/ (dist/: the sdist and the repaired wheel; logs/).
make_wheel() {
    local label=$1 suite=$2 python=$3 plat=$4 out=$root/build-wheels/$1 inside=$base/$2/root/wheels
    local sdist raw wheel status=0
    rm -rf "$out/dist" "$out/raw" "$out/logs" "$out/ca" "$out/standin.env" "$out/standin.log"
    mkdir -p "$out/dist" "$out/raw" "$out/logs"
    log "$label: packaging tools from PyPI, sdist of $head"
    timed "tools $label" step_log "$out/logs/tools.log" release_tools "$out/tools" &&
        timed "sdist $label" step_log "$out/logs/sdist.log" \
            make_sdist "$out/tools" "$base/$suite/root/main" "$out/dist" || return 1
    sdist=$(ls "$out"/dist/main-*.tar.gz)
    rm -rf --one-file-system "$inside" && mkdir -p "$inside" && cp "$sdist" "$inside/" || return 1
    log "$label: wheel from the sdist with the chroot's $python, no build isolation"
    timed "wheel $label" step_log "$out/logs/wheel.log" waitfor in_suite "$suite" \
        sh -c 'cd /root/wheels && exec "$@"' sh "$python" -m pip wheel -q --no-deps \
        --no-build-isolation --no-index -w raw "$(basename "$sdist")" || return 1
    cp "$inside"/raw/*.whl "$out/raw/" || return 1
    raw=$(ls "$out"/raw/*.whl)
    log "$label: auditwheel show, then repair to $plat"
    export AUDITWHEEL_LD_LIBRARY_PATH
    AUDITWHEEL_LD_LIBRARY_PATH=$(printf '%s\n' "$base/$suite"/usr/lib/*-linux-gnu | paste -sd:)
    # --plat takes only the host's architecture's tags; "auto" is the lowest
    # tag the module's symbols allow, which must be the one wanted.
    step_log "$out/logs/show.log" "$out/tools/bin/auditwheel" show "$raw" &&
        timed "repair $label" step_log "$out/logs/repair.log" repair_wheel "$out/tools" auto "$out/dist" "$raw" ||
        status=1
    unset AUDITWHEEL_LD_LIBRARY_PATH
    [ "$status" -eq 0 ] || return 1
    tr -s ' \n' ' ' <"$out/logs/show.log" | grep -o 'consistent with the following platform tag: "[^"]*"' || true
    wheel=$(ls "$out"/dist/*.whl)
    case $(basename "$wheel") in
        *"$plat"*) ;;
        *) log "$label: $(basename "$wheel") is not tagged $plat"; return 1 ;;
    esac
    log "$label: libraries the module needs: $allowed_needed only; twine check --strict"
    check_needed "$out/tools" "$wheel" &&
        step_log "$out/logs/twine.log" env COLUMNS=200 "$out/tools/bin/twine" --no-color check --strict \
            "$sdist" "$wheel" || return 1
    start_standin "$out" || return 1
    log "$label: $(basename "$wheel") into a fresh venv of the chroot's $python, one send"
    timed "install and send $label" step_log "$out/logs/check.log" \
        check_in_chroot "$suite" "$python" "$wheel" || status=1
    stop_standin
    if [ "$status" -ne 0 ] || [ "$(tail -1 "$out/logs/check.log")" != "$ok_reply" ]; then
        tail -5 "$out/logs/check.log"
        return 1
    fi
    results+=("$(printf '%-13s wheel  %s, %s KiB: installed and sent' "$label" \
        "$(basename "$wheel")" "$(( $(stat -c %s "$wheel") / 1024 ))")")
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
    local build_python test_python workdir meson=meson options=
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
    if [ "$suite" = clang ]; then
        if ! command -v clang++-16 >/dev/null; then
            log "$label: skipped, no clang++-16 (tools/install-deps.sh installs it)"
            results+=("$(printf '%-13s %-7s skipped: no clang++-16 here' "$label" "$suite")")
            return 0
        fi
        # LTO under clang would need LLVM's own archiver and linker.
        meson="env CXX=clang++-16 meson"
        options="-Db_lto=false -Dcpp_args=-stdlib=libc++ -Dcpp_link_args=-stdlib=libc++"
    fi
    log "$label: build for $build_python"
    if ! timed "build $label" waitfor in_suite "$suite" \
            sh -c "cd '$workdir' && $meson setup build-$label -Dpython=$build_python -Dwerror=true $options && ninja -C build-$label" \
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
    if [ -n "${wheel_plat[$label]:-}" ] && ! make_wheel "$label" "$suite" "$python" "${wheel_plat[$label]}"; then
        stop_standin
        results+=("$(printf '%-13s wheel  failed (logs: build-wheels/%s/logs/)' "$label" "$label")")
        any_failure=1
    fi
}

# --- main ----------------------------------------------------------------------

head=$(git -C "$root" rev-parse HEAD)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    log "note: uncommitted changes are not tested (the matrix clones HEAD $head)"
fi
need_debootstrap
take_chroots   # one matrix at a time on this machine
trap 'stop_standin; cleanup' EXIT

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
