"""Shared test set-up: find the freshly built modules and run fresh interpreters.

The build directory comes from MAIN_BUILD_DIR (default: build/ beside the
sources). Tests run under the interpreter that runs pytest, which must be the
one the build was made for.
"""
import functools
import importlib.machinery
import os
import shutil
import sys
import textwrap

import pytest

pytest_plugins = ["support.netguard"]

# Under the sanitizers (a build with -Db_sanitize), every process writes its
# reports here, and one report fails the run.
SANITIZER_LOGS = os.environ.get("MAIN_SANITIZER_LOGS")
# The install test builds a plain wheel with the system compiler, whose tools
# would inherit the preloaded sanitizer runtime; it does not load the
# sanitizer build at all.
collect_ignore = ["test_install.py"] if SANITIZER_LOGS else []

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.path.abspath(os.environ.get("MAIN_BUILD_DIR", os.path.join(ROOT, "build")))
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
# The built extension itself, for tests that load it by path.
MAIN_LIBRARY = os.path.join(BUILD_DIR, "main" + importlib.machinery.EXTENSION_SUFFIXES[0])

# bench/ holds the plain-Python function the module is compared with (reference_main).
for path in (os.path.join(ROOT, "bench"), BUILD_DIR, TESTS_DIR):
    if path not in sys.path:
        sys.path.insert(0, path)

from support import guard, stubs  # noqa: E402


def python_env(extra=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (BUILD_DIR, TESTS_DIR, env.get("PYTHONPATH")) if p)
    env.pop("PYTHONSTARTUP", None)
    if extra:
        env.update(extra)
    return env


def run_python(code, *args, env=None, check=True):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    proc = guard.run([sys.executable, *args, "-c", textwrap.dedent(code)],
                     capture_output=True, text=True, env=python_env(env))
    if check and proc.returncode != 0:
        raise AssertionError(
            f"child failed ({proc.returncode})\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}")
    return proc


def script(name):
    """The text of the child script tests/scripts/`name`, for fresh()."""
    with open(os.path.join(TESTS_DIR, "scripts", name), encoding="utf-8") as f:
        return f.read()


@pytest.fixture
def fresh():
    """Run code in a fresh interpreter: fresh(code, *interpreter_args, env=..., check=...)."""
    return run_python


@pytest.fixture
def standins():
    """Recording stand-ins for main's logger and requests (support.stubs):
    yields (logger, requests); afterwards main.send must still work, and
    main's globals are put back."""
    import json
    import main

    with stubs.kept_globals(main):
        yield stubs.put_standins(main)
        stubs.put_standins(main)
        main.json = json
        assert main.send("tok", "after") == stubs.OK


@pytest.fixture(scope="module")
def served(request):
    """The webhook stand-in of a test module, made with the StandIn arguments
    in the module's STANDIN; tests take it through `standin`."""
    from support import webhook_standin

    with webhook_standin.StandIn(**request.module.STANDIN) as standin:
        yield standin


@pytest.fixture
def standin(served, monkeypatch):
    """The test module's stand-in, its records cleared, with requests pointed
    at it; its driven clocks move past the windows and timestamps of earlier
    tests, and main's globals are put back after the test."""
    import main

    served.clear()
    for clock in (served.clock, served.wall_clock):
        if isinstance(clock, stubs.Clock):
            clock.now += 1000
    apply_standin_env(monkeypatch, served)
    with stubs.kept_globals(main):
        yield served


def skip_without_tls():
    """Skips the calling test module when the stand-in's TLS cannot be had
    (trustme and cryptography need _cffi_backend, which sid's 3.13 lacks)."""
    try:
        import trustme  # noqa: F401
    except ImportError as exc:
        pytest.skip(f"no TLS for the stand-in under this interpreter ({exc})", allow_module_level=True)


def apply_standin_env(monkeypatch, standin):
    """Points requests at the webhook stand-in for one test (undone afterwards)."""
    for key, value in standin.client_env().items():
        if value is None:
            monkeypatch.delenv(key, raising=False)
        else:
            monkeypatch.setenv(key, value)
    for key in ("ALL_PROXY", "all_proxy", "HTTP_PROXY", "http_proxy"):
        monkeypatch.delenv(key, raising=False)


# --- CPython's own faults --------------------------------------------------------

# Whether a fault shows can depend on the hash seed (it moves dictionary
# layouts, and with them the allocations): the reproduction runs under each
# of these seeds.
FAULT_SEEDS = range(5)


@functools.cache
def cpython_fault(name):
    """How many of FAULT_SEEDS make tools/cpython_faults.py reproduce CPython's
    own fault `name` (json-dumps, type-ready) under this interpreter, with no
    code of ours; None when the reproduction cannot run here."""
    crashed = 0
    for seed in FAULT_SEEDS:
        proc = guard.run([sys.executable, os.path.join(ROOT, "tools", "cpython_faults.py"), name],
                         capture_output=True, text=True, env=python_env({"PYTHONHASHSEED": str(seed)}),
                         minutes=10)
        if proc.returncode != 0:
            raise RuntimeError(f"cpython_faults.py {name} failed:\n{proc.stderr}")
        if f"{name}: cannot run here" in proc.stdout:
            return None
        crashed += f"{name}: crashes" in proc.stdout
    return crashed


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "cpython_fault(name): expected to fail where CPython's own fault `name` reproduces, "
        "as tools/cpython_faults.py finds by running it (strictly where it does under every hash seed)")


def pytest_runtest_setup(item):
    for mark in item.iter_markers("cpython_fault"):
        (name,) = mark.args
        crashed = cpython_fault(name)
        if (crashed is None or crashed) and not hasattr(os, "fork"):
            # Each allocation point runs in a fresh interpreter there, and a
            # crash of CPython's fault under Wine leaves the run waiting on
            # Wine's debugger.
            state = "cannot be reproduced" if crashed is None else "reproduces"
            pytest.skip(f"CPython's own fault '{name}' {state} here (tools/cpython_faults.py), "
                        "and a crash of it under Wine stops the run in Wine's debugger")
        if crashed is None:
            # Without the reproduction, a failure may be CPython's: it is
            # expected, and a pass is reported as such.
            item.add_marker(pytest.mark.xfail(
                raises=AssertionError, strict=False,
                reason=f"CPython's own fault '{name}' cannot be reproduced here (tools/cpython_faults.py)"))
        elif crashed:
            item.add_marker(pytest.mark.xfail(
                raises=AssertionError, strict=crashed == len(FAULT_SEEDS),
                reason=f"CPython's own fault '{name}' reproduces here under {crashed} of {len(FAULT_SEEDS)} "
                       "hash seeds (tools/cpython_faults.py)"))


def pytest_sessionstart(session):
    if SANITIZER_LOGS:
        shutil.rmtree(SANITIZER_LOGS, ignore_errors=True)
        os.makedirs(SANITIZER_LOGS)


def pytest_sessionfinish(session, exitstatus):
    # The reports of the processes the suite started; the sanitizer's report
    # on pytest's own process comes at its exit, and fails it by its status.
    if not SANITIZER_LOGS:
        return
    reports = sorted(os.listdir(SANITIZER_LOGS))
    for name in reports:
        with open(os.path.join(SANITIZER_LOGS, name), errors="replace") as f:
            head = "".join(f.readlines()[:40])
        sys.stderr.write(f"--- sanitizer report {name}\n{head}")
    sys.stderr.write(f"sanitizer reports: {len(reports)} (in {SANITIZER_LOGS})\n")
    if reports:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
