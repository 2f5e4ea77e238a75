#!/usr/bin/env bash
# PyPI's side of the tests, for Debian's /usr/bin/python3:
#  1. install checks, each in a fresh venv: `pip install .` with build
#     isolation (meson-python and the dependencies from PyPI), and a wheel
#     built once with `pip wheel --no-deps .`, installed from that file
#     into another venv with binaries only;
#  2. the end-to-end, stand-in and recipe tests against PyPI's newest
#     requests, urllib3 and loguru, in one venv kept under build-pypi/ and
#     brought up to date on every run, loading the host build build/.
# tools/test.sh runs it after its own runs (Debian's packages). Needs the
# network to PyPI. Safe to run twice; work files stay in build-pypi/.
set -euo pipefail
cd "$(dirname "$0")/.."

work=build-pypi
venv=$work/venv
export PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1
mkdir -p "$work"

if [ ! -f build/build.ninja ]; then
    meson setup build -Dpython=/usr/bin/python3 -Dwerror=true
fi
ninja -C build

echo "== install checks: pip with build isolation, and a wheel, each in a fresh venv"
# --basetemp is emptied by pytest at start: every run makes its venvs anew.
MAIN_TEST_PYPI=1 MAIN_BUILD_DIR=build /usr/bin/python3 -m pytest -q -p no:cacheprovider \
    --basetemp="$work/tmp" tests/test_install.py -k "pypi or wheel"

echo "== end-to-end tests against PyPI's newest requests, urllib3 and loguru"
if ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
    rm -rf "$venv"                       # none yet, or left broken by an interrupted run
    /usr/bin/python3 -m venv "$venv"
fi
if ! "$venv/bin/python" -m pip install -q --upgrade --upgrade-strategy eager \
        requests urllib3 loguru pytest trustme responses >"$work/pip.log" 2>&1; then
    cat "$work/pip.log" >&2
    exit 1
fi
"$venv/bin/python" - <<'EOF'
import sys
import loguru, requests, urllib3
assert not [p for p in sys.path if "dist-packages" in p], sys.path
print(f"requests {requests.__version__}, urllib3 {urllib3.__version__}, loguru {loguru.__version__}")
EOF
MAIN_BUILD_DIR=build "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    tests/test_end_to_end.py tests/test_standin.py tests/test_recipes.py
