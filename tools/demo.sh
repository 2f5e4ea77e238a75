#!/usr/bin/env bash
# One real notification, offline: builds and installs the module into a venv,
# starts the local webhook stand-in (tests/support/webhook_standin.py), sends one text
# message with main.send from a fresh interpreter through the real requests
# and loguru, shows the log line, the reply and what the stand-in received,
# then stops the stand-in.
#
# For a fresh Debian 12 machine, as root. Installs only the Debian packages
# the demo needs (`tools/install-deps.sh demo`: no debug interpreter, test
# runner or type checker), and only those that are missing. Safe to run
# twice. Work files go to $MAIN_DEMO_DIR (default /var/tmp/main-demo); the
# source tree is left as is.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEMO_DIR=${MAIN_DEMO_DIR:-/var/tmp/main-demo}
VENV=$DEMO_DIR/venv
TOKEN=demo-token
TEXT="服务已部署完成 (demo from $(hostname))"

step() { printf '\n== %s\n' "$*"; }

# -- packages -----------------------------------------------------------------
step "Debian packages"
bash "$ROOT/tools/install-deps.sh" demo

mkdir -p "$DEMO_DIR"
cd "$DEMO_DIR"

# A stand-in left over by an interrupted run is ended by its own pid.
if [ -f standin.pid ]; then
    old=$(cat standin.pid)
    if [ -n "$old" ] && grep -qa webhook_standin.py "/proc/$old/cmdline" 2>/dev/null; then
        kill "$old" 2>/dev/null || true
    fi
    rm -f standin.pid
fi

# -- build and install ------------------------------------------------------------
step "Building and installing the module into $VENV"
# Build from a copy, so no build files land in the work tree.
rm -rf src
mkdir src
tar -C "$ROOT" --exclude=./.git --exclude='./build' --exclude='./build-*' \
    --exclude='./.venv*' --exclude='__pycache__' --exclude='./.mesonpy*' \
    --exclude='./.pytest_cache' -cf - . | tar -C src -xf -
if [ ! -x "$VENV/bin/python" ]; then
    /usr/bin/python3 -m venv --system-site-packages "$VENV"
fi
PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 "$VENV/bin/python" -m pip install -q \
    --no-index --no-build-isolation --no-deps --force-reinstall \
    --config-settings=builddir="$DEMO_DIR/build" ./src
"$VENV/bin/python" -c 'import main; print("installed:", main.__file__)'

# -- the stand-in ------------------------------------------------------------------
step "Starting the webhook stand-in"
rm -f env.sh records.jsonl standin.log
"$VENV/bin/python" "$ROOT/tests/support/webhook_standin.py" --token "$TOKEN" \
    --record-file "$DEMO_DIR/records.jsonl" --env-file "$DEMO_DIR/env.sh" \
    --workdir "$DEMO_DIR/ca" >standin.log 2>&1 &
STANDIN_PID=$!
echo "$STANDIN_PID" >standin.pid

stop_standin() {
    if [ -n "${STANDIN_PID:-}" ] && kill -0 "$STANDIN_PID" 2>/dev/null; then
        kill -TERM "$STANDIN_PID" 2>/dev/null || true
        wait "$STANDIN_PID" 2>/dev/null || true
    fi
    rm -f "$DEMO_DIR/standin.pid"
    STANDIN_PID=
}
trap stop_standin EXIT

for _ in $(seq 100); do
    [ -s env.sh ] && break
    if ! kill -0 "$STANDIN_PID" 2>/dev/null; then
        cat standin.log >&2
        echo "demo.sh: the stand-in did not start" >&2
        exit 1
    fi
    sleep 0.1
done
[ -s env.sh ] || { cat standin.log >&2; echo "demo.sh: the stand-in did not start" >&2; exit 1; }
echo "pid $STANDIN_PID; the client's environment:"
sed 's/^/    /' env.sh

# -- one notification ------------------------------------------------------------------
step "Sending with main.send from a fresh $VENV/bin/python"
status=0
(
    # shellcheck disable=SC1091
    . "$DEMO_DIR/env.sh"
    export DEMO_TOKEN=$TOKEN DEMO_TEXT=$TEXT
    exec "$VENV/bin/python" -c '
import os, main
print(main.send(os.environ["DEMO_TOKEN"], os.environ["DEMO_TEXT"]))
'
) >send.out 2>send.err || status=$?
echo "loguru line (stderr):"
sed 's/^/    /' send.err
echo "reply (return value):"
sed 's/^/    /' send.out
if [ "$status" -ne 0 ]; then
    echo "demo.sh: main.send failed ($status)" >&2
    exit "$status"
fi

step "What the stand-in received"
"$VENV/bin/python" - "$DEMO_DIR/records.jsonl" <<'EOF'
import json, sys
with open(sys.argv[1], encoding="utf-8") as f:
    records = [json.loads(line) for line in f]
for r in records:
    print(f"    {r['method']} {r['path']}?{r['query']}   (TLS server name: {r['sni']})")
    for key, value in r["headers"]:
        print(f"    {key}: {value}")
    print(f"    body: {r.get('body', r.get('body_base64'))}")
    print(f"    answered: {r['status']} ({r['reply']})")
print(f"    {len(records)} request(s)")
EOF

step "Stopping the stand-in"
stop_standin
echo "stopped"
