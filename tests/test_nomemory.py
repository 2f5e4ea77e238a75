"""Allocation-failure sweeps (tests/scripts/nomemory_driver.py): allocation k
of module execution, of send on each road its callees can take, and of the
lazily made attributes of function objects fails, for every k; each must end
in a clean MemoryError or the result, never a crash, and leave the module
working."""
import json
import os
import sys

import pytest

from conftest import TESTS_DIR, python_env
from support import guard

DRIVER = os.path.join(TESTS_DIR, "scripts", "nomemory_driver.py")

# Each allocation point starts from the same state in a forked child: Windows has no fork.
pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork (a child per allocation point)")


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


@pytest.mark.cpython_fault("json-dumps")
@pytest.mark.parametrize("road, failures", [("stand-ins", 10), ("call slots", 5), ("kept dictionaries", 5)])
def test_send_sweep(road, failures):
    assert sweep("send", road)["counts"]["raised"] > failures


@pytest.mark.parametrize("name", ["__name__", "__doc__", "__dict__", "__annotations__"])
def test_lazy_getter_sweep(name):
    assert sweep(f"getter:{name}")["counts"]["raised"] >= 1
