"""Reference and memory-block leaks on the success and failure paths.

The full runner (tools/leakcheck.py) needs a debug interpreter; the re-import
check below only counts memory blocks and runs under either interpreter.
"""
import os
import subprocess
import sys

import pytest

from conftest import BUILD_DIR, ROOT

LEAKCHECK = os.path.join(ROOT, "tools", "leakcheck.py")


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_no_scenario_leaks():
    proc = subprocess.run(
        [sys.executable, LEAKCHECK, "--build", BUILD_DIR, "--rounds", "40", "--warmup", "20", "--reps", "5"],
        capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert " 0 leaking, 0 misbehaving" in proc.stdout


def test_reimport_keeps_no_memory_block(fresh):
    # The import system drops the state block of the module the create slot
    # hands back; each re-import used to leak one block.
    proc = fresh("""
        import gc, importlib, sys
        import main
        def reimport(n):
            for _ in range(n):
                del sys.modules["main"]
                assert importlib.import_module("main") is main
        reimport(1500)  # the import system's caches settle first
        growth = []
        for _ in range(3):
            gc.collect()
            before = sys.getallocatedblocks()
            reimport(1000)
            gc.collect()
            growth.append(sys.getallocatedblocks() - before)
        print(min(growth))
    """)
    assert int(proc.stdout) < 200  # a leak shows as 1000
