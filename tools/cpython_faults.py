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
child; then the operation runs again normally. One line per fault: the first
k whose child crashed (with the interpreter's fatal message, if it printed
one), or "clean" when none did. Crashes of another fault that the sweeps of
this module do not meet (3.11's debug build in _testbuffer: "Slot __getitem__
of type dict succeeded with an exception set") are passed over and named.
"""
import _imp
import importlib.util
import json
import os
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


def first_crash(operation, limit, warm=True):
    with tempfile.TemporaryFile() as log:
        return first_crash_logged(operation, limit, warm, log)


def first_crash_logged(operation, limit, warm, log):
    if warm:
        operation()
    others = []
    for k in range(limit):
        log.seek(0)
        log.truncate()
        pid = os.fork()
        if pid == 0:
            os.dup2(log.fileno(), 2)
            drained = [({}, [], k) for _ in range(200)]  # noqa: F841 - empties the free lists
            _testcapi.set_nomemory(k, k + 1)
            try:
                operation()
                met = False
            except MemoryError:
                met = True
            _testcapi.remove_mem_hooks()
            operation()
            os._exit(1 if met else 0)
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status):
            log.seek(0)
            why = [line for line in log.read().decode(errors="replace").splitlines()
                   if "Assertion" in line or "Fatal Python error" in line][:1]
            if why and any(other in why[0] for other in OTHER_FAULTS):
                others.append(f"k={k}: {why[0]}")
                continue
            return f"crashes at k={k} (signal {os.WTERMSIG(status)}{': ' + why[0] if why else ''})"
        if os.WEXITSTATUS(status) == 0:
            return f"clean ({k} allocation points{''.join('; another fault at ' + o for o in others)})"
    return f"clean (first {limit} allocation points)"


FAULTS = {
    "json-dumps": lambda: first_crash(dumps, 400),
    "type-ready": lambda: first_crash(load_testbuffer, 400, warm=False),  # a loaded copy is reused
}

if __name__ == "__main__":
    print(sys.version.split()[0], "debug" if hasattr(sys, "gettotalrefcount") else "release")
    for name in sys.argv[1:] or FAULTS:
        print(f"{name}:", FAULTS[name]())
