"""Allocation-failure sweeps (tests/scripts/nomemory_driver.py): allocation k
of module execution, of send on each road its callees can take, and of the
lazily made attributes of function objects fails, for every k; each must end
in a clean MemoryError or the result, never a crash, and leave the module
working. The failures come from the test helper's hooks, which fail the
allocations _testcapi's would."""
import json
import os
import sys

import pytest

from conftest import TESTS_DIR, python_env
from support import guard

DRIVER = os.path.join(TESTS_DIR, "scripts", "nomemory_driver.py")


def sweep(*arguments):
    proc = guard.run([sys.executable, DRIVER, *arguments], capture_output=True, text=True,
                     env=python_env(), minutes=10)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    print(f"{arguments}: {result['points']} allocation points, {result['counts']}")
    assert result["problems"] == [], "\n".join(result["problems"]) + "\n" + proc.stderr[-3000:]
    assert result["points"]
    return result


@pytest.mark.cpython_fault("type-ready")
def test_module_execution_sweep():
    assert sweep("exec")["counts"]["raised"] > 50


def test_module_execution_with_the_type_registered_sweep():
    # A failed search for the registered type raises, and registers nothing
    # over it.
    assert sweep("exec", "registered")["counts"]["raised"] > 50


@pytest.mark.cpython_fault("json-dumps")
@pytest.mark.parametrize("road, failures", [("stand-ins", 10), ("call slots", 5)])
def test_send_sweep(road, failures):
    assert sweep("send", road)["counts"]["raised"] > failures


@pytest.mark.parametrize("name", ["__name__", "__doc__", "__dict__", "__annotations__"])
def test_lazy_getter_sweep(name):
    assert sweep(f"getter:{name}")["counts"]["raised"] >= 1


def test_helper_hooks_fail_the_allocations_testcapi_fails(fresh):
    # The sweeps take their failures from main_testhelper, which interpreters
    # without _testcapi (python.org's embeddable builds) can load too. Where
    # _testcapi is there, both must count the same requests of the three
    # domains (malloc, calloc, realloc) and fail the same ones, k alone or a
    # window of them, and each k must leave the same outcome. (A window with
    # no end, stop=0, breaks the interpreter's own handling of the error
    # under either.)
    pytest.importorskip("_testcapi")
    out = fresh("""
        import json, os, sys, threading
        import _testcapi, main_testhelper

        def op():
            json.dumps({"msgtype": "text", "text": {"content": "text"}})  # object and mem domains
            items = []
            items.extend(range(40))  # realloc
            bytearray(8)             # calloc
            os.getcwd()              # raw realloc, without the interpreter lock
            threading.Lock()         # raw malloc (up to 3.12)

        def outcome(hooks, start, stop):
            drained = [({}, [], start) for _ in range(200)]  # empties the free lists
            hooks.set_nomemory(start, stop)
            try:
                op()
                try:
                    probe = [object()]
                    result = "absorbed"
                except MemoryError:
                    result = "ended"
            except BaseException as exc:
                result = type(exc).__name__
            hooks.remove_mem_hooks()
            return result

        def sweep(hooks, width):
            outcomes = []
            for k in range(2000):
                rfd, wfd = os.pipe()
                sys.stdout.flush()
                pid = os.fork()
                if pid == 0:
                    try:
                        os.write(wfd, outcome(hooks, k, k + width).encode())
                    finally:
                        os._exit(0)
                os.close(wfd)
                with os.fdopen(rfd, "rb") as pipe:
                    outcomes.append(pipe.read().decode())
                os.waitpid(pid, 0)
                if outcomes[-1] == "ended":
                    return outcomes
            raise AssertionError("no end")

        for width in (1, 3):
            print(json.dumps([width, sweep(_testcapi, width), sweep(main_testhelper, width)]))
    """)
    for line in out.stdout.splitlines():
        width, capi, helper = json.loads(line)
        print(f"window {width}: {len(capi)} allocation points, {capi.count('MemoryError')} raised")
        assert helper == capi, width
        assert capi.count("MemoryError") > 20
