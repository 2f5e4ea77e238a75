"""Allocation-failure sweeps: allocation k of an operation fails, for every k
until the operation runs through without meeting the failure.

    python nomemory_driver.py SWEEP [ROAD]

SWEEP is "exec" (module execution), "send", or "getter:NAME" (a lazily made
attribute of a function object). ROAD "registered" makes the exec sweep find
the function type registered already (by the test helper), which it must use
and leave in place; for the send sweep ROAD picks its callees
(support.cases.road): "stand-ins" (plain recording stand-ins, the default) or
"call slots" (callees with only a call slot: their arguments become a tuple
and a dictionary).

Each k runs in a child, so that every k starts from the same state and a
crash or an abort shows as the child's exit status: a forked one, or where
there is no fork (Windows) a fresh interpreter that runs this script with
--k=K and prints its report. A fault must end in a
clean MemoryError (or the result, when the failure is absorbed), never a
crash or a SystemError, reported at a line of "main.py" where the failing
operation is, and the module must work normally afterwards in the same
child. The last line printed is a JSON summary: the number of allocation
points, the count of each outcome and the problems found.
"""
import _imp
import importlib
import importlib.util
import json
import os
import subprocess
import sys
import traceback

import types

SPAWNED_K = next((int(a[4:]) for a in sys.argv if a.startswith("--k=")), None)
if SPAWNED_K is None:
    import loguru  # noqa: F401 - imported up front: their own import is not ours
    import requests  # noqa: F401
else:
    # A fresh interpreter for one k: the module's imports of loguru and
    # requests find these packages in sys.modules, as they find the real ones
    # a forked child inherits (those cost a child seconds to import under Wine),
    # and atexit is imported, as loguru imports it.
    import atexit  # noqa: F401
    sys.argv.remove(f"--k={SPAWNED_K}")
    for name in ("loguru", "requests"):
        sys.modules[name] = types.ModuleType(name)
        sys.modules[name].__path__ = []
    sys.modules["loguru"].logger = None
from main_testhelper import remove_mem_hooks, set_nomemory

from support import cases, stubs
from support.stubs import OK
from support.lines import MODULE, SEND
from support.tracebacks import last_main_py_line, main_py_lines

SEND_LINES = set(vars(SEND).values()) - {SEND.definition}
LIMIT = 5000


def faulted(k, op):
    """Runs op with allocation k failing: ("raised", exc), ("absorbed", value)
    when op met the failure and still succeeded, or ("done", value) when op
    finished before allocation k."""
    # Empty the free lists, so that the objects op makes come from the allocator.
    drained = [({}, [], (k, op)) for _ in range(200)]
    set_nomemory(k, k + 1)
    try:
        value = op()
    except BaseException as exc:
        remove_mem_hooks()
        return "raised", exc
    try:
        probe = [object()]
    except MemoryError:
        remove_mem_hooks()
        return "done", value
    remove_mem_hooks()
    return "absorbed", value


def check_raised(exc, lines):
    if type(exc) is not MemoryError:
        return f"{type(exc).__name__}: {exc}"
    found = last_main_py_line(exc)
    if found is not None and found not in lines:
        return f"MemoryError reported at main.py line {found}"
    return None


# --- the three operations ------------------------------------------------

def sweep_exec():
    spec = importlib.util.find_spec("main")
    registered = None
    if len(sys.argv) > 2 and sys.argv[2] == "registered":
        import main_testhelper
        registered = main_testhelper.native_type()

    def op():
        module = _imp.create_dynamic(spec)
        _imp.exec_dynamic(module)
        return module

    def after(outcome, value):
        if outcome != "raised":                    # the module made works
            assert value.__test__ == {}
            stubs.put_standins(value)
            assert value.send("tok", "text") == OK
        sys.modules.pop("main", None)  # what the import system does on failure
        import main
        stubs.put_standins(main)
        assert main.send("tok", "text") == OK
        assert main_py_lines_of_failure(main) == [SEND.post]
        if registered is not None:
            assert sys.modules["_native_abi_1_0"].native_function_or_method is registered
            assert type(main.send) is registered

    return op, after, set(vars(MODULE).values())


def main_py_lines_of_failure(main):
    main.requests = None
    try:
        main.send("tok", "text")
    except AttributeError as exc:
        return main_py_lines(exc)
    finally:
        stubs.put_standins(main)


def put_road(main):
    """Puts into main the callees of the road the send sweep takes (sys.argv[2])."""
    cases.road(main, sys.argv[2] if len(sys.argv) > 2 else "stand-ins")


def sweep_send():
    import main
    put_road(main)
    assert main.send("tok", "text") == OK

    def op():
        return main.send("tok", "text")

    def after(outcome, value):
        if outcome != "raised":
            assert value == OK, value
        put_road(main)
        assert main.send("tok", "again") == OK

    return op, after, SEND_LINES


def sweep_getter(name):
    import main
    import main_testhelper
    target = main_testhelper.make_function("documented") if name == "__doc__" else main.send
    expected = {"__doc__": "Answers with its own name.", "__name__": "send", "__dict__": {},
                "__annotations__": {}}[name]

    def op():
        return getattr(target, name)

    def after(outcome, value):
        if outcome != "raised":
            assert value == expected, value
        first = getattr(target, name)
        assert first == expected and getattr(target, name) is first
        if name == "__name__":
            assert first is sys.intern("send")
        stubs.put_standins(main)
        assert main.send("tok", "text") == OK

    return op, after, set()


def child(k, op, after, lines):
    outcome, value = faulted(k, op)
    problem = check_raised(value, lines) if outcome == "raised" else None
    try:
        after(outcome, value)
    except BaseException:
        problem = (problem or "") + " then unusable: " + traceback.format_exc(limit=4)
    entry = outcome == "raised" and bool(main_py_lines(value))
    return {"outcome": outcome, "problem": problem, "entry": entry}


def in_forked_child(k, op, after, lines):
    """The report of allocation k from a forked child, and its exit status."""
    rfd, wfd = os.pipe()
    sys.stdout.flush(); sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        os.close(rfd)
        os.write(wfd, json.dumps(report_of(k, op, after, lines)).encode())
        os._exit(0)
    os.close(wfd)
    with os.fdopen(rfd, "rb") as pipe:
        data = pipe.read()
    _, status = os.waitpid(pid, 0)
    return data, (os.WEXITSTATUS(status) if os.WIFEXITED(status) else status)


def in_fresh_interpreter(k):
    """The report of allocation k from a fresh interpreter, and its exit status."""
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), *sys.argv[1:], f"--k={k}"],
                          stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    return proc.stdout.strip().splitlines()[-1] if proc.stdout.strip() else b"", proc.returncode


def report_of(k, op, after, lines):
    try:
        return child(k, op, after, lines)
    except BaseException:
        return {"outcome": "error", "problem": traceback.format_exc()}


def operation(kind):
    if kind.startswith("getter:"):
        return sweep_getter(kind.split(":", 1)[1])
    return {"exec": sweep_exec, "send": sweep_send}[kind]()


def run(kind):
    op, after, lines = operation(kind)
    counts = {"raised": 0, "absorbed": 0}
    problems = []
    entry_seen = False  # execution fails later at each k: once entries start, each failure has one
    for k in range(LIMIT):
        data, status = in_forked_child(k, op, after, lines) if hasattr(os, "fork") else in_fresh_interpreter(k)
        if status != 0 or not data:
            problems.append(f"k={k}: child died with status {status}")
            break
        report = json.loads(data)
        if report["problem"]:
            problems.append(f"k={k}: {report['problem']}")
        if kind == "exec" and report["outcome"] == "raised":
            if entry_seen and not report["entry"]:
                problems.append(f"k={k}: the failure carries no main.py entry")
            entry_seen = entry_seen or report["entry"]
        if report["outcome"] == "done":
            print(json.dumps({"points": k, "counts": counts, "problems": problems}))
            return
        counts[report["outcome"]] = counts.get(report["outcome"], 0) + 1
    problems.append(f"no end after {LIMIT} allocations")
    print(json.dumps({"points": None, "counts": counts, "problems": problems}))


if __name__ == "__main__":
    if SPAWNED_K is None:
        run(sys.argv[1])
    else:
        print(json.dumps(report_of(SPAWNED_K, *operation(sys.argv[1]))))
