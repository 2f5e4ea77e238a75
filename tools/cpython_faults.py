"""Reproduces, with no code of this project, the interpreter faults under
allocation failure that some CPython versions have. The test suite runs it
to decide which allocation-failure sweeps are expected to fail here:

  json-dumps  a MemoryError inside json.dumps makes its next call crash in
              function creation (seen on 3.12.1, 3.13.0, 3.13.5 and 3.13.18);
  type-ready  an allocation failure while a static type (the standard
              library's _testbuffer.ndarray) is made ready leaves the type's
              dictionary corrupt: a consistency assertion in the debug build,
              a crash in the next insertion in the release build (seen on
              3.13.0 and 3.13.5).

    /usr/bin/python3.13 tools/cpython_faults.py [json-dumps] [type-ready]

Allocation k of the operation fails (for k = 0, 1, ...), each k in a forked
child (where there is no fork, Windows, in a fresh interpreter that runs this
script with --k=K); then the operation runs again normally. One line per fault: the first
k whose child crashed (with the interpreter's fatal message, if it printed
one), "clean" when none did, or "cannot run here" when the interpreter lacks
what the reproduction needs (python.org's embeddable builds have no
_testbuffer). Crashes of another fault that the sweeps of
this module do not meet (3.11's debug build in _testbuffer: "Slot __getitem__
of type dict succeeded with an exception set") are passed over and named.
"""
import _imp
import importlib.util
import json
import os
import subprocess
import sys
import tempfile

import struct  # noqa: F401 - _testbuffer imports it as it loads

# CPython's own hooks; where the interpreter has no _testcapi (python.org's
# embeddable builds), the same hooks from the test helper main_testhelper
# (public C API only: none of the module's code runs), which must then be on
# PYTHONPATH (the build directory; the suite's runs put it there).
try:
    import _testcapi
except ImportError:
    import main_testhelper as _testcapi

MESSAGE = {"msgtype": "text", "text": {"content": "text"}}
TESTBUFFER = importlib.util.find_spec("_testbuffer")


def dumps():
    json.dumps(MESSAGE)


def load_testbuffer():
    sys.modules.pop("_testbuffer", None)
    _imp.create_dynamic(TESTBUFFER)


# Crashes of other faults, met on the way and passed over: 3.11's debug build
# asserts that no exception is pending where _testbuffer's import, under
# allocation failure, leaves one.
OTHER_FAULTS = ("_Py_CheckSlotResult", "!PyErr_Occurred()")


def first_crash(name, operation, limit, warm=True):
    with tempfile.TemporaryFile() as log:
        return first_crash_logged(operation, limit, warm, log, name)


def met_at(operation, k):
    """Runs operation with allocation k failing, then once more normally;
    True when the failure was met (a MemoryError)."""
    drained = [({}, [], k) for _ in range(200)]  # noqa: F841 - empties the free lists
    _testcapi.set_nomemory(k, k + 1)
    try:
        operation()
        met = False
    except MemoryError:
        met = True
    _testcapi.remove_mem_hooks()
    operation()
    return met


def status_at(name, operation, k, log):
    """The exit status of a child that runs met_at(operation, k): 1 when met,
    0 when not, anything else when it crashed (its stderr in `log`)."""
    if not hasattr(os, "fork"):
        return subprocess.run([sys.executable, os.path.abspath(__file__), name, f"--k={k}"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log).returncode
    pid = os.fork()
    if pid == 0:
        os.dup2(log.fileno(), 2)
        os._exit(1 if met_at(operation, k) else 0)
    _, status = os.waitpid(pid, 0)
    return os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)


def first_crash_logged(operation, limit, warm, log, name):
    if warm:
        operation()
    others = []
    for k in range(limit):
        log.seek(0)
        log.truncate()
        status = status_at(name, operation, k, log)
        if status not in (0, 1):
            log.seek(0)
            why = [line for line in log.read().decode(errors="replace").splitlines()
                   if "Assertion" in line or "Fatal Python error" in line][:1]
            if why and any(other in why[0] for other in OTHER_FAULTS):
                others.append(f"k={k}: {why[0]}")
                continue
            return f"crashes at k={k} (status {status}{': ' + why[0] if why else ''})"
        if status == 0:
            return f"clean ({k} allocation points{''.join('; another fault at ' + o for o in others)})"
    return f"clean (first {limit} allocation points)"


OPERATIONS = {"json-dumps": (dumps, True), "type-ready": (load_testbuffer, False)}  # a loaded copy is reused


def reproduce(name):
    operation, warm = OPERATIONS[name]
    if name == "type-ready" and TESTBUFFER is None:
        return "cannot run here (no _testbuffer)"
    return first_crash(name, operation, 400, warm)


if __name__ == "__main__":
    spawned = [a for a in sys.argv if a.startswith("--k=")]
    if spawned:  # one k, in a fresh interpreter
        operation, warm = OPERATIONS[sys.argv[1]]
        if warm:
            operation()
        sys.exit(1 if met_at(operation, int(spawned[0][4:])) else 0)
    print(sys.version.split()[0], "debug" if hasattr(sys, "gettotalrefcount") else "release")
    for name in sys.argv[1:] or OPERATIONS:
        print(f"{name}:", reproduce(name))
